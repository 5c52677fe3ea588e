// One hour of 30 ms blocks at 48 kHz through the whole recording path: the capture
// source's queue, the storage thread's hand-off, the recorder's handler and the WAV
// writer, into a temporary file. Prints the speed as a multiple of real time beside a
// plain buffered write loop of the same bytes, and counts the handler's allocations.
#include "capture/blockqueue.h"
#include "capture/capturethreads.h"
#include "capture/wasapisource.h"
#include "common/clock.h"
#include "common/handoff.h"
#include "platform/playback/playbackengine.h"
#include "recorder/recorder.h"
#include "recorder/recorderview.h"
#include "settings/config.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

namespace {

// Allocation counter for the window thread while it is inside the handler.
thread_local bool t_counting = false;
thread_local uint64_t t_allocations = 0;

} // namespace

// Qt allocates through malloc, not operator new, so count at malloc.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);

void* malloc(std::size_t size) {
    if (t_counting)
        ++t_allocations;
    return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size) {
    if (t_counting)
        ++t_allocations;
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size) {
    if (t_counting)
        ++t_allocations;
    return __libc_realloc(p, size);
}
}

namespace {

constexpr uint32_t Rate = 48000;
constexpr uint32_t BlockFrames = Rate * 30 / 1000;
constexpr int32_t BlockBytes = BlockFrames * 4;
constexpr int Blocks = 3600 * 1000 / 30; // one hour

// Shows nothing; a message would mean the benchmark went wrong.
class NullView final : public HeadlessRecorderView {
public:
    MessageResult messageBox(const QString& text, const QString&, MessageIcon,
                             MessageButtons) override {
        std::fprintf(stderr, "message: %s\n", qUtf8Printable(text));
        return MessageResult::Ok;
    }
};

// Queues the hour of blocks as fast as the window thread takes them, keeping at most a
// few hundred waiting so that memory stays flat.
class Producer final : public CaptureThread {
public:
    Producer(WindowThreadHandoff& handoff, TWASAPISource& owner)
        : CaptureThread(handoff), m_owner(owner) {}
    ~Producer() override {
        terminate();
        waitFor();
    }
    int32_t Init() override { return 0; }

protected:
    void execute() override {
        std::vector<int16_t> block(BlockFrames * 2);
        for (int i = 0; i < Blocks && !terminated(); ++i) {
            for (size_t s = 0; s < block.size(); ++s)
                block[s] = static_cast<int16_t>((i * 7 + s * 13) % 20000 - 10000);
            while (m_owner.queuedBlocks() > 256 && !terminated())
                std::this_thread::yield();
            m_owner.queueBlock(makeCapturedBlock(block.data(), BlockBytes));
        }
    }

private:
    TWASAPISource& m_owner;
};

class NoRender final : public RenderThread {
public:
    using RenderThread::RenderThread;
    ~NoRender() override { waitFor(); }
    void Init() override {}

protected:
    void execute() override {}
};

class Factory final : public CaptureThreadFactory {
public:
    explicit Factory(WindowThreadHandoff& handoff) : m_handoff(handoff) {}
    std::unique_ptr<CaptureThread> createCaptureThread(TWASAPISource& owner, const TDataEvent&,
                                                       const tWAVEFORMATEX&) override {
        return std::make_unique<Producer>(m_handoff, owner);
    }
    std::unique_ptr<RenderThread> createRenderThread(TWASAPISource&) override {
        return std::make_unique<NoRender>(m_handoff);
    }

private:
    WindowThreadHandoff& m_handoff;
};

double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double plainWriteLoop(const QString& file) {
    std::vector<int16_t> block(BlockFrames * 2);
    const auto start = std::chrono::steady_clock::now();
    FILE* f = std::fopen(file.toUtf8().constData(), "wb");
    if (!f)
        return -1;
    std::setvbuf(f, nullptr, _IOFBF, 1 << 16);
    for (int i = 0; i < Blocks; ++i) {
        for (size_t s = 0; s < block.size(); ++s)
            block[s] = static_cast<int16_t>((i * 7 + s * 13) % 20000 - 10000);
        std::fwrite(block.data(), 1, BlockBytes, f);
    }
    std::fclose(f);
    return seconds(std::chrono::steady_clock::now() - start);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;

    defaultconfig(config);
    config.archive = dir.path();
    config.codec = 2;
    config.namingexpression = QStringLiteral("bench-NUM");

    WindowThreadHandoff handoff;
    Factory factory(handoff);
    TWASAPISource source(handoff, &factory);
    TWASAPIDevice& card = source.cards.Add();
    TWASAPIDevice& endpoint = card.inputs->Add();
    endpoint.State = 1;
    endpoint.SamplingRate = Rate;

    NullView view;
    ManualClock clock;
    NullPlaybackEngine playback;
    TRecorder recorder(view, clock, playback);
    recorder.PCM = pcm16Stereo(Rate);
    recorder.setCaptureSource(&source);

    int delivered = 0;
    uint64_t quietBlockAllocations = 0; // blocks that did not rebuild the size text
    uint64_t sizeTextAllocations = 0;
    int sizeTextRebuilds = 0;
    source.OnData = [&](TWASAPISource* sender, const void* data, int32_t size) {
        clock.advanceMs(30);
        const QChar* textBefore = recorder.recsize.constData();
        t_allocations = 0;
        t_counting = true;
        recorder.event(sender, data, size);
        t_counting = false;
        if (recorder.recsize.constData() != textBefore) {
            ++sizeTextRebuilds;
            sizeTextAllocations += t_allocations;
        } else {
            if (t_allocations && std::getenv("BENCH_DEBUG"))
                std::fprintf(stderr, "block %d: %llu allocations\n", delivered,
                             static_cast<unsigned long long>(t_allocations));
            quietBlockAllocations += t_allocations;
        }
        if (++delivered == Blocks)
            QCoreApplication::quit();
    };

    // Capture starts first, as at start-up; then the Start command.
    // The reference first, its file removed, so both write into a similar page cache.
    const QString plainFile = dir.filePath(QStringLiteral("plain.raw"));
    const double plainSeconds = plainWriteLoop(plainFile);
    QFile::remove(plainFile);

    const auto start = std::chrono::steady_clock::now();
    if (!source.startnew(0, 0, recorder.PCM))
        return 1;
    recorder.StartClick();
    if (!recorder.writing) {
        std::fprintf(stderr, "the recording did not start\n");
        return 1;
    }
    app.exec();
    recorder.StopClick();
    recorder.fullstop();
    const double pathSeconds = seconds(std::chrono::steady_clock::now() - start);
    source.OnData = nullptr;
    source.stop();

    const qint64 fileSize = QFileInfo(recorder.lastfile).size();

    std::printf("one hour of 30 ms blocks at 48 kHz (%d blocks, %.1f MB)\n", Blocks,
                static_cast<double>(Blocks) * BlockBytes / 1e6);
    std::printf("  recording path: %.2f s, %.0f x real time (goal >= 500 x), file %lld bytes\n",
                pathSeconds, 3600.0 / pathSeconds, static_cast<long long>(fileSize));
    std::printf("  plain buffered write loop: %.2f s, %.0f x real time\n", plainSeconds,
                3600.0 / plainSeconds);
    std::printf("  path / plain: %.2f\n", pathSeconds / plainSeconds);
    std::printf(
        "  handler allocations: %llu in %d blocks without a new size text; %llu in %d "
        "size-text rebuilds (%.1f each)\n",
        static_cast<unsigned long long>(quietBlockAllocations), delivered - sizeTextRebuilds,
        static_cast<unsigned long long>(sizeTextAllocations), sizeTextRebuilds,
        sizeTextRebuilds ? static_cast<double>(sizeTextAllocations) / sizeTextRebuilds : 0.0);
    return quietBlockAllocations == 0 ? 0 : 2;
}
