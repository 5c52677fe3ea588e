// A short demonstration of the recording path: a generated tone goes through the capture
// source, the storage hand-off and the recorder into a WAV file in the music folder.
#include "consoleview.h"
#include "tonesource.h"

#include "capture/wasapisource.h"
#include "common/handoff.h"
#include "platform/playback/playbackengine.h"
#include "recorder/recorder.h"
#include "settings/config.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 3;

    defaultconfig(config);
    config.codec = 2; // WAV: the other writers come later.
    if (config.archive.isEmpty() || !QDir().mkpath(config.archive)) {
        std::fprintf(stderr, "Cannot create the output folder \"%s\".\n",
                     qUtf8Printable(config.archive));
        return 1;
    }

    WindowThreadHandoff handoff;
    ToneThreadFactory threads(handoff);
    TWASAPISource source(handoff, &threads);
    TWASAPIDevice& card = source.cards.Add();
    card.Description = QStringLiteral("Tone generator");
    TWASAPIDevice& endpoint = card.inputs->Add();
    endpoint.Description = QStringLiteral("440 Hz tone");
    endpoint.ID = QStringLiteral("tone");
    endpoint.State = 1;
    endpoint.SamplingRate = 48000;
    endpoint.Channels = 2;
    endpoint.BitsPerSample = 32;
    source.defaultrate = endpoint.SamplingRate;

    ConsoleView view;
    NullPlaybackEngine playback;
    TRecorder recorder(view, systemClock(), playback);
    recorder.PCM = pcm16Stereo(static_cast<uint32_t>(source.defaultrate));
    recorder.setCaptureSource(&source);
    source.OnData = [&recorder](TWASAPISource* sender, const void* data, int32_t size) {
        recorder.event(sender, data, size);
    };
    if (!source.startnew(source.defaultcard, source.defaultinput, recorder.PCM))
        return 1;

    recorder.StartClick();
    if (!recorder.writing) {
        source.stop();
        return 1;
    }
    QTimer::singleShot(seconds * 1000, [&] { recorder.StopClick(); });
    // The Stop command takes effect with the next block; quit once the file is closed.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!recorder.writing && !recorder.lastfile.isEmpty())
            app.quit();
    });
    poll.start(10);
    app.exec();
    source.OnData = nullptr;
    source.stop();
    std::printf("Wrote %d seconds of a 440 Hz tone to %s\n", seconds,
                qUtf8Printable(recorder.lastfile));
    return 0;
}
