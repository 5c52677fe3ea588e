// orvanta-rec: records what the computer plays (loopback of the default output) to files,
// without windows, through the same capture source and recorder as the window program.

#include "recoptions.h"
#include "recsession.h"

#include "platform/audio/pulse/pulseengine.h"
#include "recorder/journal.h"
#include "recorder/recorder.h"
#include "settings/config.h"
#include "writers/codecbinding.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <iterator>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::chrono::milliseconds CaptureFragment{500};

int g_signalPipe[2] = {-1, -1};
// Set by the handler; read between the steps of the start, before the event loop runs.
volatile std::sig_atomic_t g_quitRequested = 0;

extern "C" void onSignal(int) {
    g_quitRequested = 1;
    const char byte = 1;
    // Only async-signal-safe work here; the event loop does the rest.
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

constexpr int CaughtSignals[] = {SIGINT, SIGTERM};
struct sigaction g_previous[std::size(CaughtSignals)];
bool g_replaced[std::size(CaughtSignals)] = {};

// Ctrl+C and SIGTERM are caught from the first line of main, also where the caller ignores
// them (a background job of a script ignores SIGINT): before the recording runs they end the
// program at the next step of the start, after that they close the file cleanly.
bool catchQuitSignals() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_signalPipe) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    bool caught = true;
    for (size_t i = 0; i < std::size(CaughtSignals); ++i) {
        g_replaced[i] = sigaction(CaughtSignals[i], &action, &g_previous[i]) == 0;
        caught = caught && g_replaced[i];
    }
    return caught;
}

// The lists end by themselves; a signal ends them as it would end any program.
void releaseQuitSignals() {
    for (size_t i = 0; i < std::size(CaughtSignals); ++i) {
        if (g_replaced[i])
            sigaction(CaughtSignals[i], &g_previous[i], nullptr);
    }
}

void note(const QString& text) {
    std::fprintf(stderr, "orvanta-rec: %s\n", qUtf8Printable(text));
}

void fail(const QString& text) {
    note(text);
}

/// The live status line on a terminal; elsewhere it stays silent so that scripts see only
/// file names and errors.
class StatusLine {
public:
    StatusLine() : m_enabled(::isatty(STDERR_FILENO) == 1) {}

    bool enabled() const { return m_enabled; }

    void show(const QString& text) {
        if (!m_enabled)
            return;
        // Carriage return and erase to the end of the line: the line is rewritten in place.
        std::fprintf(stderr, "\r%s\033[K", qUtf8Printable(text));
        std::fflush(stderr);
        m_shown = true;
    }
    /// Clears the line before anything else is printed.
    void clear() {
        if (!m_shown)
            return;
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
        m_shown = false;
    }

private:
    bool m_enabled;
    bool m_shown = false;
};

QString stateText(const TRecorder& recorder) {
    if (recorder.rec)
        return QStringLiteral("REC");
    return config.vox ? QStringLiteral("VOX") : QStringLiteral("   ");
}

} // namespace

int main(int argc, char** argv) {
    const bool catching = catchQuitSignals();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvanta-rec"));

    const RecParseResult parsed = parseRecOptions(app.arguments().mid(1));
    switch (parsed.action) {
    case RecParseResult::Action::Error:
        fail(parsed.text);
        return RecExitUsage;
    case RecParseResult::Action::Help:
    case RecParseResult::Action::Version:
        std::printf("%s", qUtf8Printable(parsed.text));
        return RecExitOk;
    case RecParseResult::Action::Record:
    case RecParseResult::Action::ListDevices:
    case RecParseResult::Action::ListApps:
        break;
    }
    const RecOptions& options = parsed.options;
    if (parsed.action != RecParseResult::Action::Record) {
        releaseQuitSignals();
    } else if (!catching) {
        fail(QStringLiteral("cannot set up signal handling"));
        return RecExitFailure;
    }

    // Before anything records: a missing codec library disables only its format.
    loadCodecLibraries();
    struct Unload {
        ~Unload() { unloadCodecLibraries(); }
    } unload;

    if (parsed.action == RecParseResult::Action::Record) {
        const QString warning = prepareRecConfig(options, config);
        if (!warning.isEmpty())
            fail(warning);
    }
    if (g_quitRequested)
        return RecExitOk;

    // Files that an earlier run (of this program or of the window program) left unfinished -
    // a crash, a kill, a power cut - are made whole before this run records anything.
    RecordingJournal journal;
    if (parsed.action == RecParseResult::Action::Record) {
        for (const RecordingJournal::Abandoned& item : journal.repairAbandoned()) {
            if (item.outcome == RepairOutcome::Repaired)
                note(QStringLiteral("repaired interrupted recording %1").arg(item.recording));
            else if (item.firstFailure())
                fail(QStringLiteral("could not repair interrupted recording %1 (%2); it will be "
                                    "tried again at the next start")
                         .arg(item.recording, item.detail));
        }
    }

    StatusLine status;
    // Nothing here follows the sound live: capture wakes twice a second, not ten times. The
    // blocks are dated, so stops, splits and track changes still fall where they belong.
    const std::unique_ptr<audio::AudioEngine> engine = createPulseEngine(
        QStringLiteral("Orvanta recorder"), std::chrono::seconds(5), CaptureFragment);
    RecSession session(*engine, systemClock(),
                       {.receiving =
                            [&] {
                                status.clear();
                                std::fprintf(stderr, "receiving audio\n");
                                std::fflush(stderr);
                            },
                        .fileClosed =
                            [&](const QString& file) {
                                status.clear();
                                std::printf("%s\n", qUtf8Printable(file));
                                std::fflush(stdout);
                            },
                        .error =
                            [&](const QString& text) {
                                status.clear();
                                fail(text);
                            },
                        .finished = [&](int) { app.quit(); },
                        .deviceChanged =
                            [&](const QString& name) {
                                status.clear();
                                std::fprintf(stderr, "Output device changed: %s\n",
                                             qUtf8Printable(name));
                                std::fflush(stderr);
                            },
                        .notice =
                            [&](const QString& text) {
                                status.clear();
                                std::fprintf(stderr, "%s\n", qUtf8Printable(text));
                                std::fflush(stderr);
                            }});
    session.setJournal(&journal);

    if (parsed.action == RecParseResult::Action::ListDevices) {
        int code = RecExitFailure;
        const QString list = session.deviceList(&code);
        std::printf("%s", qUtf8Printable(list));
        return code;
    }

    if (parsed.action == RecParseResult::Action::ListApps) {
        int code = RecExitFailure;
        const QString list = session.applicationList(&code);
        std::printf("%s", qUtf8Printable(list));
        return code;
    }

    if (g_quitRequested)
        return RecExitOk;
    const int started = session.start(options);
    if (started >= 0)
        return started;

    // From here Ctrl+C and SIGTERM close the file cleanly through the event loop; one that
    // came during the start is already waiting in the pipe.
    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&] {
        char bytes[64];
        [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], bytes, sizeof bytes);
        session.requestStop();
    });

    // The duration is also checked between blocks, so a stalled capture still stops.
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        session.tick();
        if (session.isFinished() || !status.enabled())
            return;
        const TRecorder& recorder = session.recorder();
        status.show(recStatusLine(stateText(recorder), session.elapsedSeconds(),
                                  recorder.totalbytes, std::max(recorder.maxl, recorder.maxr)));
    });
    // Without a status line to refresh, the timer only guards a stalled capture.
    ticker.start(status.enabled() ? 250 : 1000);

    if (!session.isFinished())
        app.exec();
    ticker.stop();
    session.close();
    status.clear();
    return session.exitCode();
}
