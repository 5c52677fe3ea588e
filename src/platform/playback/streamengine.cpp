#include "streamengine.h"

#include "sndfiledecoder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <optional>

namespace playback {

namespace {

constexpr int64_t kChunkFrames = 4096;
// Decoded audio kept ahead of (and back to) what is heard; larger than any output latency
// the engine asks for, so the data now playing is always still here.
constexpr int64_t kRingSeconds = 4;

} // namespace

struct StreamPlaybackEngine::Stream {
    PlayStream handle = 0;
    QString file;
    int rate = 0;
    int channels = 0;

    // Engine thread only.
    std::unique_ptr<SndfileDecoder> decoder;
    std::vector<int16_t> chunk;
    int64_t decodePos = 0; // the frame the decoder reads next
    bool drained = false;

    // Guarded by m_mutex.
    PlaybackState state = PlaybackState::Stopped;
    uint64_t epoch = 1;        // changes on every seek, stop and restart
    uint64_t handledEpoch = 0; // the epoch the engine thread has set the stream up for
    int64_t base = 0;          // file frame that the output's first frame is
    int64_t heldFrame = -1;    // the position shown while paused (-1: not paused)
    int64_t announced = -1;
    int64_t decodedMax = 0;
    bool lengthExact = false;
    bool eof = false;
    bool outputPaused = false;
    float volume = 1.0f;
    std::unique_ptr<OutputStream> output; // belongs to handledEpoch
    // Decoded frames [ringStart, ringEnd) of the file; output has been given up to written.
    std::vector<int16_t> ring;
    int64_t capacity = 0;
    int64_t ringStart = 0;
    int64_t ringEnd = 0;
    int64_t written = 0;

    int frameBytes() const { return 2 * channels; }
    int64_t lengthFrames() const {
        return lengthExact ? decodedMax : std::max(announced, decodedMax);
    }
    int16_t* at(int64_t frame) { return ring.data() + (frame % capacity) * channels; }
    /// Copies up to `frames` frames from `frame` on; returns the count.
    int64_t copyOut(int64_t frame, int16_t* out, int64_t frames) {
        frames = std::min(frames, ringEnd - frame);
        if (frame < ringStart || frames <= 0) {
            return 0;
        }
        int64_t done = 0;
        while (done < frames) {
            const int64_t piece = std::min(frames - done, capacity - (frame + done) % capacity);
            std::memcpy(out + done * channels, at(frame + done),
                        static_cast<size_t>(piece * channels) * sizeof(int16_t));
            done += piece;
        }
        return done;
    }
};

StreamPlaybackEngine::StreamPlaybackEngine(std::unique_ptr<OutputDevice> device)
    : m_device(std::move(device)) {}

StreamPlaybackEngine::~StreamPlaybackEngine() {
    free();
}

bool StreamPlaybackEngine::init() {
    if (m_thread.joinable()) {
        return true;
    }
    {
        std::lock_guard lock(m_wakeMutex);
        m_quit = false;
    }
    m_thread = std::thread([this] { run(); });
    return true;
}

void StreamPlaybackEngine::free() {
    if (m_thread.joinable()) {
        {
            std::lock_guard lock(m_wakeMutex);
            m_quit = true;
        }
        m_wakeCv.notify_all();
        m_thread.join();
    }
    std::map<PlayStream, std::shared_ptr<Stream>> streams;
    std::vector<std::shared_ptr<Stream>> dying;
    {
        std::lock_guard lock(m_mutex);
        streams.swap(m_streams);
        dying.swap(m_dying);
    }
    // The outputs go before the device they came from, here after the thread has ended.
    for (auto& [handle, stream] : streams) {
        stream->output.reset();
    }
    for (auto& stream : dying) {
        stream->output.reset();
    }
}

PlayStream StreamPlaybackEngine::open(const QString& file) {
    m_openError.clear();
    if (!m_thread.joinable()) {
        m_openError = QStringLiteral("The player is not running.");
        return 0;
    }
    std::unique_ptr<SndfileDecoder> decoder = SndfileDecoder::open(file, &m_openError);
    if (!decoder) {
        return 0;
    }
    auto stream = std::make_shared<Stream>();
    stream->file = file;
    stream->rate = decoder->sampleRate();
    stream->channels = decoder->channels();
    stream->announced = decoder->announcedFrames();
    stream->capacity = std::max<int64_t>(int64_t{stream->rate} * kRingSeconds, 4 * kChunkFrames);
    stream->ring.resize(static_cast<size_t>(stream->capacity * stream->channels));
    stream->chunk.resize(static_cast<size_t>(kChunkFrames * stream->channels));
    stream->decoder = std::move(decoder);
    {
        std::lock_guard lock(m_mutex);
        do {
            ++m_lastHandle;
        } while (m_lastHandle == 0 || m_streams.count(m_lastHandle));
        stream->handle = m_lastHandle;
        m_streams.emplace(stream->handle, stream);
    }
    wake();
    return stream->handle;
}

StreamPlaybackEngine::Stream* StreamPlaybackEngine::find(PlayStream s) const {
    if (s == 0) {
        return nullptr;
    }
    const auto it = m_streams.find(s);
    return it == m_streams.end() ? nullptr : it->second.get();
}

int64_t StreamPlaybackEngine::positionFrames(const Stream& stream) const {
    // The server's clock may still move on by a few frames while the pause takes effect;
    // a paused stream shows where it was paused.
    if (stream.state == PlaybackState::Paused && stream.heldFrame >= 0) {
        return stream.heldFrame;
    }
    if (stream.handledEpoch != stream.epoch || !stream.output) {
        return stream.base;
    }
    return stream.base + stream.output->heardFrames();
}

void StreamPlaybackEngine::reposition(Stream& stream, int64_t frame) {
    stream.base = frame;
    stream.heldFrame = frame; // a seek while paused moves the shown position too
    ++stream.epoch;
}

void StreamPlaybackEngine::play(PlayStream s, bool restart) {
    {
        std::lock_guard lock(m_mutex);
        Stream* stream = find(s);
        if (!stream) {
            return;
        }
        const bool atEnd = stream->state == PlaybackState::Stopped && stream->lengthExact &&
                           stream->base >= stream->lengthFrames();
        if (restart || atEnd) {
            reposition(*stream, 0);
        }
        stream->state = PlaybackState::Playing;
    }
    wake();
}

void StreamPlaybackEngine::pause(PlayStream s) {
    {
        std::lock_guard lock(m_mutex);
        Stream* stream = find(s);
        if (!stream || stream->state != PlaybackState::Playing) {
            return;
        }
        stream->heldFrame = positionFrames(*stream);
        stream->state = PlaybackState::Paused;
    }
    wake();
}

void StreamPlaybackEngine::stop(PlayStream s) {
    {
        std::lock_guard lock(m_mutex);
        Stream* stream = find(s);
        if (!stream || stream->state == PlaybackState::Stopped) {
            return;
        }
        // Stopping drops what is queued; playing again goes on from what was last heard.
        reposition(*stream, positionFrames(*stream));
        stream->state = PlaybackState::Stopped;
    }
    wake();
}

void StreamPlaybackEngine::freeStream(PlayStream s) {
    {
        std::lock_guard lock(m_mutex);
        const auto it = s == 0 ? m_streams.end() : m_streams.find(s);
        if (it == m_streams.end()) {
            return;
        }
        it->second->state = PlaybackState::Stopped;
        ++it->second->epoch;
        // The engine thread closes its output and decoder.
        m_dying.push_back(std::move(it->second));
        m_streams.erase(it);
    }
    wake();
}

PlaybackState StreamPlaybackEngine::state(PlayStream s) const {
    std::lock_guard lock(m_mutex);
    const Stream* stream = find(s);
    return stream ? stream->state : PlaybackState::Stopped;
}

int64_t StreamPlaybackEngine::length(PlayStream s) const {
    std::lock_guard lock(m_mutex);
    const Stream* stream = find(s);
    return stream ? stream->lengthFrames() * stream->frameBytes() : 0;
}

int64_t StreamPlaybackEngine::position(PlayStream s) const {
    std::lock_guard lock(m_mutex);
    const Stream* stream = find(s);
    return stream ? positionFrames(*stream) * stream->frameBytes() : 0;
}

double StreamPlaybackEngine::bytesToSeconds(PlayStream s, int64_t bytes) const {
    std::lock_guard lock(m_mutex);
    const Stream* stream = find(s);
    if (!stream) {
        return 0.0;
    }
    return static_cast<double>(bytes) / (static_cast<double>(stream->frameBytes()) * stream->rate);
}

void StreamPlaybackEngine::setPosition(PlayStream s, int64_t bytes) {
    {
        std::lock_guard lock(m_mutex);
        Stream* stream = find(s);
        if (!stream || bytes < 0) {
            return;
        }
        int64_t frame = bytes / stream->frameBytes();
        if (stream->lengthExact || stream->announced >= 0) {
            frame = std::min(frame, stream->lengthFrames());
        }
        reposition(*stream, frame);
    }
    wake();
}

void StreamPlaybackEngine::setVolume(PlayStream s, float volume) {
    std::lock_guard lock(m_mutex);
    Stream* stream = find(s);
    if (!stream || std::isnan(volume)) {
        return;
    }
    stream->volume = std::clamp(volume, 0.0f, 1.0f);
    if (stream->output) {
        stream->output->setVolume(stream->volume);
    }
}

int32_t StreamPlaybackEngine::data(PlayStream s, void* buffer, int32_t size) {
    std::lock_guard lock(m_mutex);
    Stream* stream = find(s);
    if (!stream || !buffer || size <= 0 || stream->state == PlaybackState::Stopped) {
        return 0;
    }
    const int64_t frames = stream->copyOut(positionFrames(*stream), static_cast<int16_t*>(buffer),
                                           size / stream->frameBytes());
    return static_cast<int32_t>(frames * stream->frameBytes());
}

PlaybackInfo StreamPlaybackEngine::info(PlayStream s) const {
    std::lock_guard lock(m_mutex);
    const Stream* stream = find(s);
    if (!stream) {
        return {};
    }
    return {stream->rate, stream->channels, stream->file};
}

void StreamPlaybackEngine::sync() {
    if (!m_thread.joinable()) {
        return;
    }
    std::unique_lock lock(m_wakeMutex);
    const uint64_t ticket = ++m_syncRequested;
    m_wakePending = true;
    m_wakeCv.notify_all();
    m_syncCv.wait(lock, [&] { return m_syncDone >= ticket || m_quit; });
}

void StreamPlaybackEngine::wake() {
    {
        std::lock_guard lock(m_wakeMutex);
        m_wakePending = true;
    }
    m_wakeCv.notify_all();
}

bool StreamPlaybackEngine::service(const std::shared_ptr<Stream>& stream,
                                   std::vector<std::unique_ptr<OutputStream>>& retired,
                                   bool& ended) {
    Stream& s = *stream;
    bool progress = false;

    // A seek, stop or restart: drop the output and what was decoded, start over at base.
    std::optional<int64_t> seekTo;
    {
        std::lock_guard lock(m_mutex);
        if (s.handledEpoch != s.epoch) {
            if (s.output) {
                retired.push_back(std::move(s.output));
            }
            s.handledEpoch = s.epoch;
            s.ringStart = s.ringEnd = s.written = s.base;
            s.eof = false;
            s.outputPaused = false;
            s.drained = false;
            seekTo = s.base;
        }
    }
    if (seekTo) {
        progress = true;
        // Some damaged files decode from the start but cannot seek at all, so only seek when
        // the decoder is elsewhere.
        const bool moved = *seekTo == s.decodePos || s.decoder->seek(*seekTo);
        s.decodePos = moved ? *seekTo : -1;
        if (!moved) {
            // The decoder cannot get there: the stream ends, and is known to end, here.
            std::lock_guard lock(m_mutex);
            if (s.handledEpoch == s.epoch) {
                s.eof = true;
                s.lengthExact = true;
                s.decodedMax = s.base;
            }
        }
    }

    // Decode ahead while there is room.
    uint64_t epoch = 0;
    bool decode = false;
    {
        std::lock_guard lock(m_mutex);
        epoch = s.handledEpoch;
        int64_t heard = s.output ? s.base + s.output->heardFrames() : s.base;
        if (s.state == PlaybackState::Paused && s.heldFrame >= 0) {
            // The output's clock may have run on past the held position while pausing; the
            // data now playing is still that of the held position, so it is kept.
            heard = std::min(heard, s.heldFrame);
        }
        s.ringStart = std::max(s.ringStart, std::min(heard, s.written));
        decode = !s.eof && s.capacity - (s.ringEnd - s.ringStart) >= kChunkFrames;
    }
    if (decode) {
        progress = true;
        const int64_t got = s.decoder->read(s.chunk.data(), kChunkFrames);
        s.decodePos = s.decodePos < 0 ? -1 : s.decodePos + got;
        std::lock_guard lock(m_mutex);
        if (s.handledEpoch == epoch && s.epoch == epoch) {
            for (int64_t done = 0; done < got;) {
                const int64_t piece = std::min(got - done, s.capacity - s.ringEnd % s.capacity);
                std::memcpy(s.at(s.ringEnd), s.chunk.data() + done * s.channels,
                            static_cast<size_t>(piece * s.channels) * sizeof(int16_t));
                s.ringEnd += piece;
                done += piece;
            }
            s.decodedMax = std::max(s.decodedMax, s.ringEnd);
            if (got == 0) {
                // Where the decoder really ends is the length, whatever the header said.
                s.eof = true;
                s.decodedMax = s.ringEnd;
                s.lengthExact = true;
            }
        }
    }

    // Open the output when playing starts; it is fed under the lock, which is cheap.
    bool wantOutput = false;
    OutputFormat format;
    {
        std::lock_guard lock(m_mutex);
        wantOutput = s.state == PlaybackState::Playing && !s.output && s.handledEpoch == s.epoch;
        format = {s.rate, s.channels, s.volume, false};
        epoch = s.epoch;
    }
    if (wantOutput) {
        progress = true;
        std::unique_ptr<OutputStream> output = m_device->openStream(format, [this] { wake(); });
        std::lock_guard lock(m_mutex);
        if (!output) {
            // Nothing can be heard; end the stream rather than leave it playing forever.
            if (s.epoch == epoch && s.state == PlaybackState::Playing) {
                s.state = PlaybackState::Stopped;
                reposition(s, s.base);
                ended = true;
            }
            return progress;
        }
        if (s.epoch == epoch && s.handledEpoch == epoch) {
            output->setVolume(s.volume);
            s.output = std::move(output);
        } else {
            retired.push_back(std::move(output));
        }
    }

    std::lock_guard lock(m_mutex);
    if (!s.output || s.handledEpoch != s.epoch) {
        return progress;
    }
    const bool paused = s.state != PlaybackState::Playing;
    if (paused != s.outputPaused) {
        s.output->setPaused(paused);
        s.outputPaused = paused;
        progress = true;
    }
    if (paused) {
        return progress;
    }
    int64_t room = std::min(s.output->writableFrames(), s.ringEnd - s.written);
    while (room > 0) {
        const int64_t piece = std::min(room, s.capacity - s.written % s.capacity);
        s.output->write(s.at(s.written), piece);
        s.written += piece;
        room -= piece;
        progress = true;
    }
    if (s.eof && s.written == s.ringEnd && !s.drained) {
        s.output->drain();
        s.drained = true;
        progress = true;
    }
    if (s.drained && s.output->heardFrames() >= s.ringEnd - s.base) {
        s.state = PlaybackState::Stopped;
        reposition(s, s.ringEnd);
        ended = true;
        progress = true;
    }
    return progress;
}

void StreamPlaybackEngine::run() {
    for (;;) {
        uint64_t ticket = 0;
        {
            std::lock_guard lock(m_wakeMutex);
            if (m_quit) {
                break;
            }
            m_wakePending = false;
            ticket = m_syncRequested;
        }
        std::vector<std::shared_ptr<Stream>> streams;
        std::vector<std::shared_ptr<Stream>> dying;
        {
            std::lock_guard lock(m_mutex);
            for (const auto& [handle, stream] : m_streams) {
                streams.push_back(stream);
            }
            dying.swap(m_dying);
        }
        std::vector<std::unique_ptr<OutputStream>> retired;
        std::vector<PlayStream> endedStreams;
        bool progress = false;
        bool active = false;
        for (const auto& stream : streams) {
            bool ended = false;
            progress |= service(stream, retired, ended);
            if (ended) {
                endedStreams.push_back(stream->handle);
            }
            std::lock_guard lock(m_mutex);
            active |= stream->output && stream->state == PlaybackState::Playing;
        }
        {
            std::lock_guard lock(m_mutex);
            for (const auto& stream : dying) {
                if (stream->output) {
                    retired.push_back(std::move(stream->output));
                }
            }
        }
        retired.clear();
        dying.clear();
        for (PlayStream handle : endedStreams) {
            if (onEnd) {
                try {
                    onEnd(handle);
                } catch (...) {
                    // The receiver's failure must not end the engine thread.
                }
            }
        }
        if (progress) {
            continue;
        }
        std::unique_lock lock(m_wakeMutex);
        m_syncDone = ticket;
        m_syncCv.notify_all();
        const auto woken = [this] { return m_wakePending || m_quit; };
        if (active) {
            // The sound server reports progress by its clock as well as by callbacks, so
            // a playing stream is also looked at now and then.
            m_wakeCv.wait_for(lock, std::chrono::milliseconds(20), woken);
        } else {
            m_wakeCv.wait(lock, woken);
        }
    }
    std::lock_guard lock(m_wakeMutex);
    m_syncDone = m_syncRequested;
    m_syncCv.notify_all();
}

} // namespace playback
