// Encodes ten minutes of 48 kHz stereo PCM through the MP3, Ogg Vorbis and FLAC writers in
// 30 ms blocks, and the same PCM through each codec library driven directly in one loop with
// the same settings and blocks, several rounds in alternating order. For reference it also
// times the lame, oggenc and flac command-line encoders on the same PCM as a WAV file. Prints
// the median times, the speed as a multiple of real time and the median ratio of the writer's
// throughput to the direct loop's (the goal is 0.95 or more).
//
// Build with -DORVANTA_BUILD_BENCH=ON (Release, tests off), target codec_bench; run as
//   codec_bench [minutes=10] [rounds=5]

#include "settings/config.h"
#include "writers/codecbinding.h"
#include "writers/flacwriter.h"
#include "writers/mp3writer.h"
#include "writers/oggwriter.h"

#include <FLAC/stream_encoder.h>
#include <QTemporaryDir>
#include <lame/lame.h>
#include <ogg/ogg.h>
#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr uint32_t Rate = 48000;
constexpr size_t BlockFrames = Rate * 30 / 1000;

std::vector<int16_t> makeSignal(size_t frames) {
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0.0, 200.0);
    std::uniform_int_distribution<int> semitone(-12, 12);
    std::vector<int16_t> out(frames * 2);
    const double pi = 3.14159265358979323846;
    for (int c = 0; c < 2; ++c) {
        double phase = 0, frequency = 440;
        for (size_t i = 0; i < frames; ++i) {
            if (i % (Rate / 8) == 0)
                frequency = (c ? 440.0 : 330.0) * std::pow(2.0, semitone(rng) / 12.0);
            phase += 2 * pi * frequency / Rate;
            double v = 0;
            for (int k = 1; k <= 3; ++k)
                v += 6000.0 / k * std::sin(k * phase);
            out[i * 2 + static_cast<size_t>(c)] =
                static_cast<int16_t>(std::clamp(v + noise(rng), -32768.0, 32767.0));
        }
    }
    return out;
}

double seconds(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void throughWriter(TAudioWriter& writer, const std::vector<int16_t>& pcm) {
    const size_t frames = pcm.size() / 2;
    for (size_t done = 0; done < frames; done += BlockFrames) {
        const size_t n = std::min(BlockFrames, frames - done);
        writer.write(pcm.data() + done * 2, static_cast<uint32_t>(n * 4));
    }
}

void directMp3(const std::vector<int16_t>& pcm, const std::string& path) {
    FILE* out = std::fopen(path.c_str(), "wb");
    lame_t lame = lame_init();
    lame_set_num_channels(lame, 2);
    lame_set_in_samplerate(lame, Rate);
    lame_set_out_samplerate(lame, Rate);
    lame_set_mode(lame, STEREO);
    lame_set_VBR(lame, vbr_off);
    lame_set_brate(lame, 128);
    // The same settings the MP3 encoder adapter makes, so that only the writer's own work differs.
    lame_set_original(lame, 1);
    lame_set_copyright(lame, 0);
    lame_set_error_protection(lame, 0);
    lame_set_extension(lame, 0);
    lame_set_emphasis(lame, 0);
    lame_set_strict_ISO(lame, 0);
    lame_set_disable_reservoir(lame, 0);
    lame_set_quality(lame, 5);
    lame_set_bWriteVbrTag(lame, 0);
    lame_init_params(lame);
    std::vector<unsigned char> buffer(BlockFrames * 5 / 4 + 7200);
    const size_t frames = pcm.size() / 2;
    for (size_t done = 0; done < frames; done += BlockFrames) {
        const int n = static_cast<int>(std::min(BlockFrames, frames - done));
        const int got =
            lame_encode_buffer_interleaved(lame, const_cast<short*>(pcm.data() + done * 2), n,
                                           buffer.data(), static_cast<int>(buffer.size()));
        std::fwrite(buffer.data(), 1, static_cast<size_t>(std::max(got, 0)), out);
    }
    const int got = lame_encode_flush(lame, buffer.data(), static_cast<int>(buffer.size()));
    std::fwrite(buffer.data(), 1, static_cast<size_t>(std::max(got, 0)), out);
    lame_close(lame);
    std::fclose(out);
}

void directVorbis(const std::vector<int16_t>& pcm, const std::string& path) {
    FILE* out = std::fopen(path.c_str(), "wb");
    vorbis_info vi;
    vorbis_comment vc;
    vorbis_dsp_state vd;
    vorbis_block vb;
    ogg_stream_state os;
    ogg_page og;
    ogg_packet op, h1, h2, h3;
    vorbis_info_init(&vi);
    vorbis_encode_init_vbr(&vi, 2, Rate, 0.4f);
    vorbis_comment_init(&vc);
    vorbis_analysis_init(&vd, &vi);
    vorbis_block_init(&vd, &vb);
    ogg_stream_init(&os, 1);
    vorbis_analysis_headerout(&vd, &vc, &h1, &h2, &h3);
    ogg_stream_packetin(&os, &h1);
    ogg_stream_packetin(&os, &h2);
    ogg_stream_packetin(&os, &h3);
    auto pages = [&](bool flush) {
        while (flush ? ogg_stream_flush(&os, &og) : ogg_stream_pageout(&os, &og)) {
            std::fwrite(og.header, 1, static_cast<size_t>(og.header_len), out);
            std::fwrite(og.body, 1, static_cast<size_t>(og.body_len), out);
        }
    };
    auto blocks = [&]() {
        while (vorbis_analysis_blockout(&vd, &vb) == 1) {
            vorbis_analysis(&vb, nullptr);
            vorbis_bitrate_addblock(&vb);
            while (vorbis_bitrate_flushpacket(&vd, &op)) {
                ogg_stream_packetin(&os, &op);
                pages(false);
            }
        }
    };
    pages(true);
    const size_t frames = pcm.size() / 2;
    for (size_t done = 0; done < frames; done += BlockFrames) {
        const int n = static_cast<int>(std::min(BlockFrames, frames - done));
        float** buffer = vorbis_analysis_buffer(&vd, n);
        const int16_t* p = pcm.data() + done * 2;
        for (int i = 0; i < n; ++i) {
            buffer[0][i] = p[2 * i] / 32768.0f;
            buffer[1][i] = p[2 * i + 1] / 32768.0f;
        }
        vorbis_analysis_wrote(&vd, n);
        blocks();
    }
    vorbis_analysis_wrote(&vd, 0);
    blocks();
    vorbis_block_clear(&vb);
    vorbis_dsp_clear(&vd);
    vorbis_comment_clear(&vc);
    vorbis_info_clear(&vi);
    ogg_stream_clear(&os);
    std::fclose(out);
}

void directFlac(const std::vector<int16_t>& pcm, const std::string& path) {
    FLAC__StreamEncoder* e = FLAC__stream_encoder_new();
    FLAC__stream_encoder_set_verify(e, false);
    FLAC__stream_encoder_set_streamable_subset(e, false);
    FLAC__stream_encoder_set_compression_level(e, 4);
    FLAC__stream_encoder_set_channels(e, 2);
    FLAC__stream_encoder_set_bits_per_sample(e, 16);
    FLAC__stream_encoder_set_sample_rate(e, Rate);
    FLAC__stream_encoder_init_file(e, path.c_str(), nullptr, nullptr);
    std::vector<FLAC__int32> ints(BlockFrames * 2);
    const size_t frames = pcm.size() / 2;
    for (size_t done = 0; done < frames; done += BlockFrames) {
        const size_t n = std::min(BlockFrames, frames - done);
        for (size_t i = 0; i < n * 2; ++i)
            ints[i] = pcm[done * 2 + i];
        FLAC__stream_encoder_process_interleaved(e, ints.data(), static_cast<uint32_t>(n));
    }
    FLAC__stream_encoder_finish(e);
    FLAC__stream_encoder_delete(e);
}

bool writeWav(const std::vector<int16_t>& pcm, const std::string& path) {
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out)
        return false;
    const uint32_t data = static_cast<uint32_t>(pcm.size() * 2);
    auto le32 = [&](uint32_t v) {
        const unsigned char b[4] = {
            static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
            static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
        std::fwrite(b, 1, 4, out);
    };
    auto le16 = [&](uint16_t v) {
        const unsigned char b[2] = {static_cast<unsigned char>(v),
                                    static_cast<unsigned char>(v >> 8)};
        std::fwrite(b, 1, 2, out);
    };
    std::fwrite("RIFF", 1, 4, out);
    le32(36 + data);
    std::fwrite("WAVEfmt ", 1, 8, out);
    le32(16);
    le16(1);
    le16(2);
    le32(Rate);
    le32(Rate * 4);
    le16(4);
    le16(16);
    std::fwrite("data", 1, 4, out);
    le32(data);
    const bool ok = std::fwrite(pcm.data(), 2, pcm.size(), out) == pcm.size();
    return std::fclose(out) == 0 && ok;
}

struct Format {
    const char* name;
    std::function<void(const std::string&)> writer;
    std::function<void(const std::string&)> direct;
    std::string tool;
    std::vector<double> writerTimes, directTimes, ratios, toolTimes;
};

} // namespace

int main(int argc, char** argv) {
    const double minutes = argc > 1 ? std::atof(argv[1]) : 10.0;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    QTemporaryDir dir;
    if (!dir.isValid() || minutes <= 0 || rounds < 1) {
        std::fprintf(stderr, "usage: codec_bench [minutes] [rounds]\n");
        return 1;
    }
    const std::string base = dir.path().toStdString() + "/";
    config.bitrate = 5; // 128 kbit/s at 48 kHz
    config.vbrmode = 0;
    config.oggquality = 4;
    config.flaclevel = 4;
    if (!loadCodecLibraries()) {
        std::fprintf(stderr, "codec libraries missing\n");
        return 1;
    }

    const auto frames = static_cast<size_t>(minutes * 60 * Rate);
    const std::vector<int16_t> pcm = makeSignal(frames);
    const std::string wav = base + "in.wav";
    if (!writeWav(pcm, wav))
        return 1;
    const tWAVEFORMATEX format = pcm16Stereo(Rate);

    std::vector<Format> formats;
    formats.push_back({"MP3 128 kbit/s",
                       [&](const std::string& p) {
                           TMP3writer w(QString::fromStdString(p), format);
                           throughWriter(w, pcm);
                       },
                       [&](const std::string& p) { directMp3(pcm, p); },
                       "lame --quiet -m s -b 128 --cbr -q 5 -t " + wav + " " + base + "cli.mp3",
                       {},
                       {},
                       {},
                       {}});
    formats.push_back({"Ogg Vorbis q4",
                       [&](const std::string& p) {
                           TOGGwriter w(QString::fromStdString(p), format);
                           throughWriter(w, pcm);
                       },
                       [&](const std::string& p) { directVorbis(pcm, p); },
                       "oggenc --quiet -q 4 -o " + base + "cli.ogg " + wav,
                       {},
                       {},
                       {},
                       {}});
    formats.push_back({"FLAC level 4",
                       [&](const std::string& p) {
                           TFLACwriter w(QString::fromStdString(p), format);
                           throughWriter(w, pcm);
                       },
                       [&](const std::string& p) { directFlac(pcm, p); },
                       "flac --silent -f -4 -o " + base + "cli.flac " + wav,
                       {},
                       {},
                       {},
                       {}});

    for (int round = 0; round < rounds; ++round) {
        for (Format& f : formats) {
            double w = 0, d = 0;
            // Alternate which goes first, so that neither always meets a warm or cold cache.
            if (round % 2 == 0) {
                w = seconds([&] { f.writer(base + "writer.out"); });
                d = seconds([&] { f.direct(base + "direct.out"); });
            } else {
                d = seconds([&] { f.direct(base + "direct.out"); });
                w = seconds([&] { f.writer(base + "writer.out"); });
            }
            f.writerTimes.push_back(w);
            f.directTimes.push_back(d);
            f.ratios.push_back(d / w);
            f.toolTimes.push_back(seconds([&] {
                if (std::system(f.tool.c_str()) != 0)
                    std::fprintf(stderr, "failed: %s\n", f.tool.c_str());
            }));
            std::printf("round %d %-15s writer %.2f s  direct %.2f s  tool %.2f s\n", round + 1,
                        f.name, w, d, f.toolTimes.back());
            std::fflush(stdout);
        }
    }

    const double audio = static_cast<double>(frames) / Rate;
    std::printf("\n%.1f min of 48 kHz stereo, %zu-frame blocks, %d rounds (medians):\n", minutes,
                BlockFrames, rounds);
    std::printf("%-15s %12s %12s %12s %16s\n", "format", "writer", "direct", "tool",
                "writer/direct");
    for (const Format& f : formats) {
        const double w = median(f.writerTimes), d = median(f.directTimes), t = median(f.toolTimes);
        std::printf("%-15s %7.2f s %3.0fx %7.2f s %3.0fx %7.2f s %3.0fx %16.3f\n", f.name, w,
                    audio / w, d, audio / d, t, audio / t, median(f.ratios));
    }
    return 0;
}
