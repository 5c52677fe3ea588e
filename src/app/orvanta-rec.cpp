// orvanta-rec: records what the computer plays (loopback of the default output) to a file,
// without windows, through the same capture source and recorder as the window program.

#include "capture/threadfactory.h"
#include "capture/wasapisource.h"
#include "common/handoff.h"
#include "platform/audio/audioplatform.h"
#include "platform/audio/pulse/pulseengine.h"
#include "platform/playback/playbackengine.h"
#include "recorder/recorder.h"
#include "settings/config.h"
#include "settings/desktop.h"
#include "writers/codecbinding.h"
#include "writers/codectable.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Exit statuses.
constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;  // the recording could not be made or was cut short
constexpr int ExitUsage = 2;    // bad command line
constexpr int ExitNoServer = 3; // no sound server answers
constexpr int ExitNoDevice = 4; // no output device to record from

int g_signalPipe[2] = {-1, -1};

extern "C" void onSignal(int) {
    const char byte = 1;
    // Only async-signal-safe work here; the event loop does the rest.
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

void fail(const char* text) {
    std::fprintf(stderr, "orvanta-rec: %s\n", text);
}

/// Prints the names of the files it closes; everything else goes to standard error.
class RecView final : public HeadlessRecorderView {
public:
    // Called whenever the recorder has closed a file.
    void refreshBrowser() override {
        if (m_recorder && !m_recorder->lastfile.isEmpty() && m_recorder->lastfile != m_printed &&
            QFileInfo::exists(m_recorder->lastfile)) {
            m_printed = m_recorder->lastfile;
            std::printf("%s\n", qUtf8Printable(m_printed));
            std::fflush(stdout);
        }
    }
    void setRecorder(const TRecorder* recorder) { m_recorder = recorder; }

private:
    const TRecorder* m_recorder = nullptr;
    QString m_printed;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvanta-rec"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Records what the computer plays (the default output device) to a file."));
    parser.addHelpOption();
    const QCommandLineOption formatOption(
        QStringLiteral("format"),
        QStringLiteral("Output format: mp3, ogg, wav or flac (default: wav)."),
        QStringLiteral("format"), QStringLiteral("wav"));
    const QCommandLineOption outputOption(
        QStringLiteral("output"),
        QStringLiteral("Folder for the recording (default: your music folder)."),
        QStringLiteral("folder"));
    const QCommandLineOption durationOption(
        QStringLiteral("duration"),
        QStringLiteral("Stop after this many seconds (default: at Ctrl+C or SIGTERM)."),
        QStringLiteral("seconds"));
    parser.addOptions({formatOption, outputOption, durationOption});
    if (!parser.parse(app.arguments())) {
        fail(qUtf8Printable(parser.errorText()));
        return ExitUsage;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::printf("%s", qUtf8Printable(parser.helpText()));
        return ExitOk;
    }
    if (!parser.positionalArguments().isEmpty()) {
        fail("unexpected argument; see --help");
        return ExitUsage;
    }
    int codec = -1;
    for (int i = 0; i < CodecCount; ++i) {
        if (parser.value(formatOption) == codecExtension(i))
            codec = i;
    }
    if (codec < 0) {
        fail("--format: expected mp3, ogg, wav or flac");
        return ExitUsage;
    }
    double duration = 0;
    if (parser.isSet(durationOption)) {
        bool ok = false;
        duration = parser.value(durationOption).toDouble(&ok);
        if (!ok || !(duration > 0) || duration > 7 * 24 * 3600) {
            fail("--duration: expected a number of seconds above 0 (at most a week)");
            return ExitUsage;
        }
    }

    // Before anything records: a missing codec library disables only its format.
    loadCodecLibraries();
    struct Unload {
        ~Unload() { unloadCodecLibraries(); }
    } unload;

    defaultconfig(config);
    config.codec = codec;
    config.autoname = true;
    config.archive = parser.isSet(outputOption) ? parser.value(outputOption) : getmusicfolder();
    if (config.archive.isEmpty() || !QDir().mkpath(config.archive)) {
        std::fprintf(stderr, "orvanta-rec: cannot create the output folder \"%s\"\n",
                     qUtf8Printable(config.archive));
        return ExitFailure;
    }
    config.archive = QFileInfo(config.archive).absoluteFilePath();
    // Never fall back to the program's folder: a missing output folder is an error here.
    config.path = config.archive + QLatin1Char('/');

    WindowThreadHandoff handoff;
    const std::unique_ptr<audio::AudioEngine> engine =
        createPulseEngine(QStringLiteral("Orvanta recorder"));
    {
        std::unique_ptr<audio::IMMDeviceEnumerator> probe;
        if (engine->CreateEnumerator(&probe) == audio::AUDCLNT_E_SERVICE_NOT_RUNNING) {
            fail("no sound server answers. Start PulseAudio or PipeWire (with pipewire-pulse) and "
                 "try again.");
            return ExitNoServer;
        }
    }
    AudioThreadFactory threads(handoff, *engine);
    TWASAPISource source(handoff, &threads);
    source.setAudioEngine(engine.get());
    source.propagate();
    if (source.cards.Count() == 0 || source.inputs.isEmpty() ||
        source.cards.GetItem(source.defaultcard).inputs->GetItem(source.defaultinput).DataFlow !=
            audio::eRender) {
        fail("no output device found. Check the system's sound settings.");
        return ExitNoDevice;
    }

    RecView view;
    NullPlaybackEngine playback;
    TRecorder recorder(view, systemClock(), playback);
    view.setRecorder(&recorder);
    recorder.PCM = pcm16Stereo(static_cast<uint32_t>(source.defaultrate));
    recorder.setCaptureSource(&source);

    bool receiving = false;
    bool recording = false;
    bool stopRequested = false;
    bool captureEnded = false;
    source.OnData = [&](TWASAPISource* sender, const void* data, int32_t size) {
        if (size > 0 && !receiving) {
            receiving = true;
            std::fprintf(stderr, "receiving audio\n");
        }
        if (size < 0)
            captureEnded = true;
        recorder.event(sender, data, size);
        // The file is closed: by Stop, by the end of capture or by a write failure.
        if (recording && !recorder.rec)
            app.quit();
    };

    if (!source.startnew(source.defaultcard, source.defaultinput, recorder.PCM) ||
        !source.started) {
        source.OnData = nullptr;
        return ExitNoDevice;
    }

    recorder.StartClick();
    if (!recorder.writing) {
        source.OnData = nullptr;
        source.stop();
        return ExitFailure;
    }
    recording = true;

    // Ctrl+C and SIGTERM close the file cleanly through the event loop.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) {
        fail("cannot set up signal handling");
        return ExitFailure;
    }
    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QTimer closeGuard;
    closeGuard.setSingleShot(true);
    const auto requestStop = [&] {
        if (stopRequested)
            return;
        stopRequested = true;
        recorder.StopClick();
        // The file closes with the next block; if capture has stalled, close it now.
        closeGuard.start(1000);
    };
    QObject::connect(&closeGuard, &QTimer::timeout, [&] {
        if (recorder.rec)
            recorder.fullstop();
        app.quit();
    });
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&] {
        char byte = 0;
        [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], &byte, 1);
        requestStop();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    if (duration > 0)
        QTimer::singleShot(static_cast<int>(duration * 1000), requestStop);

    app.exec();

    source.OnData = nullptr;
    if (recorder.rec)
        recorder.fullstop();
    source.stop();
    if (captureEnded && !stopRequested) {
        fail("capture ended before the recording was stopped; the file was closed.");
        return ExitFailure;
    }
    return stopRequested ? ExitOk : ExitFailure;
}
