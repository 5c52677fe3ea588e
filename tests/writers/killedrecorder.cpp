// Records a known signal and then dies by SIGKILL without finishing the file, the way a
// crash or a kill leaves a recording. Run by the durability tests as a process of its own,
// so that the kill meets a writer in its normal state, background sync thread and all.
//
// Usage: writers_killed_recorder <codec 0-3> <file> <rate> <milliseconds>

#include "writers/audiowriter.h"
#include "writers/codectable.h"

#include "codectestsupport.h"
#include "settings/config.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>

int main(int argc, char** argv) {
    if (argc != 5)
        return 2;
    const int codec = std::atoi(argv[1]);
    const QString file = QString::fromLocal8Bit(argv[2]);
    const auto rate = static_cast<uint32_t>(std::atoi(argv[3]));
    const auto milliseconds = static_cast<uint64_t>(std::atoi(argv[4]));
    config.bitrate = 5;
    config.vbrmode = 0;
    config.oggquality = 4;
    config.flaclevel = 5;

    const auto input = musicSignal(static_cast<size_t>(rate * milliseconds / 1000), rate, 11);
    try {
        // Deliberately never destroyed: the kill below comes first.
        auto* writer = createWriter(codec, file, pcm16Stereo(rate)).release();
        // 20 ms blocks, as the capture delivers them.
        const size_t frames = input.size() / 2;
        for (size_t done = 0; done < frames; done += rate / 50) {
            const size_t block = std::min<size_t>(rate / 50, frames - done);
            if (writer->write(input.data() + done * 2, static_cast<uint32_t>(block * 4)) < 0)
                return 4;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 3;
    }
    std::raise(SIGKILL);
    return 5;
}
