// Times one analyser frame (analysis, drawing and trail, without the screen) in the main
// window's default set-up, and one level-meter update; checks that a frame allocates nothing.
#include "controls/icevumeter.h"
#include "controls/spectrumdisplay.h"

#include <QApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

namespace {
std::atomic<long> g_allocations{0};
}

void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

template <typename F> double medianMicros(int rounds, F&& f) {
    std::vector<double> times;
    times.reserve(rounds);
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        f(i);
        times.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::nth_element(times.begin(), times.begin() + rounds / 2, times.end());
    return times[rounds / 2];
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TSpectrumDisplay spectrum;
    spectrum.setbackcolor(QColor(35, 87, 131));
    spectrum.setforecolor(QColor(220, 230, 240));
    spectrum.setbackground(QImage(127, 38, QImage::Format_RGB888));
    spectrum.setslider(QImage(4, 38, QImage::Format_RGB888));
    spectrum.SwitchVisual(vmFFT);

    // 2672 bytes of 44100 Hz stereo 16-bit audio: one 15 ms tick.
    constexpr int kFrames = 668;
    std::vector<std::vector<std::int16_t>> blocks(16, std::vector<std::int16_t>(2 * kFrames));
    for (size_t b = 0; b < blocks.size(); ++b)
        for (int i = 0; i < kFrames; ++i) {
            const double v = std::sin(i * 0.05 * (b + 1)) * 20000 + std::sin(i * 1.3) * 6000;
            blocks[b][2 * i] = blocks[b][2 * i + 1] = static_cast<std::int16_t>(v);
        }
    const auto frame = [&](int i) {
        const auto& block = blocks[i % blocks.size()];
        spectrum.drawFrame(block.data(), 2 * kFrames * 2, 15, 44100, 2, 16, false);
    };
    for (int i = 0; i < 200; ++i)
        frame(i);
    const long before = g_allocations.load();
    for (int i = 0; i < 1000; ++i)
        frame(i);
    const long perThousand = g_allocations.load() - before;
    const double spectrumMedian = medianMicros(20001, frame);

    QWidget parent;
    parent.resize(60, 80);
    iceVUmeter meter(&parent);
    meter.setGeometry(10, 10, 28, 61);
    parent.show();
    meter.setvoxactive(true);
    meter.setvox(3000);
    const double meterMedian = medianMicros(20001, [&](int i) {
        meter.setleftpos((i * 977) % 32768);
        meter.setrightpos((i * 331) % 32768);
        meter.setvox(3000);
    });

    std::printf("spectrum frame (mode 1, 2672 bytes): median %.2f us\n", spectrumMedian);
    std::printf("allocations in 1000 frames: %ld\n", perThousand);
    std::printf("level meter update (28 x 61): median %.2f us\n", meterMedian);
    return perThousand == 0 ? 0 : 2;
}
