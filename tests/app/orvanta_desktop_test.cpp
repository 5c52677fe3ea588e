// The window program on a private X server with the private sound server of the test command:
// global hot keys pressed through the X server, a second start while recording, a start
// after a crash, the tray of a real tray host, and a sound server that stops and comes back.
#include "app/browserrun.h"
#include "recorder/wavcheck.h"
#include "settings/config.h"
#include "settings/settingsfile.h"
#include "support/qtprint.h"
#include "support/recprocess.h"
#include "support/soundfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPoint>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>

#include <sys/resource.h>

namespace {

constexpr int Rate = 48000;
const QPoint MinimiseButton(378, 17);

/// Runs a short command to its end and returns what it printed (empty on failure).
QString run(const QString& program, const QStringList& args, int* status = nullptr) {
    QProcess p;
    p.start(program, args);
    const bool ended = p.waitForFinished(20000);
    if (status)
        *status = ended && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    if (!ended)
        p.kill();
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

bool waitFor(const std::function<bool()>& done, int ms = 20000) {
    QElapsedTimer guard;
    guard.start();
    while (!done()) {
        if (guard.elapsed() > ms)
            return false;
        QThread::msleep(50);
    }
    return true;
}

QString xdotool(const QStringList& args) {
    return run(QStringLiteral("xdotool"), args);
}

/// The map state of an X window: "IsViewable", "IsUnMapped", ... or empty when it is gone.
QString mapState(const QString& window) {
    const QString info = run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), window});
    for (const QString& line : info.split('\n')) {
        if (line.trimmed().startsWith(QStringLiteral("Map State:")))
            return line.section(':', 1).trimmed();
    }
    return {};
}

void pressKeys(const QString& keys) {
    xdotool({QStringLiteral("key"), QStringLiteral("--clearmodifiers"), keys});
}

void click(const QString& window, QPoint at) {
    xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), window,
             QString::number(at.x()), QString::number(at.y()), QStringLiteral("click"),
             QStringLiteral("1")});
}

/// A home folder, settings and instance name of its own for each program under test.
class Surroundings {
public:
    explicit Surroundings(int codec) {
        home = dir.path();
        music = dir.filePath(QStringLiteral("Music"));
        QDir().mkpath(music);
        QDir().mkpath(dir.filePath(QStringLiteral(".config")));
        env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral(".config")));
        env.insert(QStringLiteral("ORVANTA_INSTANCE_NAME"),
                   QStringLiteral("orvanta-test-%1").arg(QCoreApplication::applicationPid()));
        // No session bus: the tray icon then docks through the X tray protocol.
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));

        // The settings file the program reads at start: this folder, this format, no exit
        // question.
        qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral(".config")).toUtf8());
        TConfig c;
        defaultconfig(c);
        c.archive = music;
        c.codec = codec;
        c.askconfirmation = false;
        config = c;
        settings = settingsFolder();
        QDir().mkpath(settings);
        saved = saveconfig(QStringLiteral("tressic.xml"), config);
        qunsetenv("XDG_CONFIG_HOME");
    }

    QStringList recordings() const { return QDir(music).entryList(QDir::Files, QDir::Name); }

    QTemporaryDir dir;
    QString home;
    QString music;
    QString settings;
    QProcessEnvironment env;
    bool saved = false;
};

/// One run of the window program.
class Program {
public:
    enum class Errors { Forward, Collect };

    /// `inChild` runs in the new process before the program starts. Collected standard
    /// error is read by waitForError.
    explicit Program(const Surroundings& where, const std::function<void()>& inChild = {},
                     Errors errors = Errors::Forward) {
        if (inChild)
            m_process.setChildProcessModifier(inChild);
        m_process.setProcessEnvironment(where.env);
        if (errors == Errors::Forward)
            m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.setReadChannel(QProcess::StandardError);
        m_process.start(QStringLiteral(ORVANTA), {});
    }

    /// Waits until standard error holds `text` (hang guard: 30 s).
    bool waitForError(const QString& text) {
        waitFor(
            [&] {
                m_process.waitForReadyRead(100);
                m_errors += QString::fromUtf8(m_process.readAllStandardError());
                return m_errors.contains(text) || m_process.state() == QProcess::NotRunning;
            },
            30000);
        return m_errors.contains(text);
    }
    const QString& errors() const { return m_errors; }
    ~Program() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }

    /// The program's window with a title matching `title` (by default the main window),
    /// once it is shown (hang guard: 30 s). Both must match: by itself xdotool takes any
    /// window that matches either the process or the title.
    QString waitForWindow(const QString& title = QStringLiteral("^Orvanta$")) {
        const QString pid = QString::number(m_process.processId());
        QString found;
        waitFor(
            [&] {
                found = xdotool({QStringLiteral("search"), QStringLiteral("--all"),
                                 QStringLiteral("--onlyvisible"), QStringLiteral("--pid"), pid,
                                 QStringLiteral("--name"), title})
                            .section('\n', 0, 0);
                return !found.isEmpty() || m_process.state() == QProcess::NotRunning;
            },
            30000);
        return found;
    }

    /// Waits for the end (hang guard: 30 s); the exit code, or -1.
    int finish(int ms = 30000) {
        if (!m_process.waitForFinished(ms))
            return -1;
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    void signal(int number) { ::kill(static_cast<pid_t>(m_process.processId()), number); }
    bool running() const { return m_process.state() != QProcess::NotRunning; }

private:
    QProcess m_process;
    QString m_errors;
};

/// A sound server of the test's own, of the kind the test command runs, that can be stopped
/// and started again. Each start makes a new runtime folder, so the clients reach it through
/// a link that stays where it is.
class RestartableServer {
public:
    RestartableServer() : m_link(m_dir.filePath(QStringLiteral("native"))) {
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert(QStringLiteral("ORVANTA_SOUND_STATE"),
                     m_dir.filePath(QStringLiteral("state")));
    }
    ~RestartableServer() { stop(); }

    QString address() const { return QStringLiteral("unix:") + m_link; }

    /// Empty when it runs and the link leads to it; else what went wrong.
    QString start() {
        const QString output = script(QStringLiteral("start"));
        const QRegularExpressionMatch socket =
            QRegularExpression(QStringLiteral("PULSE_SERVER=unix:(\\S+)")).match(output);
        if (!socket.hasMatch())
            return QStringLiteral("the sound server did not start: ") + output;
        // Replaced in one step: a client never finds no link at all.
        const QString next = m_link + QStringLiteral(".next");
        QFile::remove(next);
        if (!QFile::link(socket.captured(1), next) ||
            std::rename(QFile::encodeName(next).constData(),
                        QFile::encodeName(m_link).constData()) != 0)
            return QStringLiteral("cannot link the server's socket");
        return {};
    }
    void stop() { script(QStringLiteral("stop")); }

private:
    QString script(const QString& command) {
        QProcess p;
        p.setProcessEnvironment(m_env);
        QStringList args{QStringLiteral(SOUND_SERVER_SCRIPT), command};
        if (command == QStringLiteral("start"))
            args << m_env.value(QStringLiteral("ORVANTA_TEST_SERVER"));
        p.start(QStringLiteral("bash"), args);
        if (!p.waitForFinished(60000))
            p.kill();
        return QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
    }

    QTemporaryDir m_dir;
    QString m_link;
    QProcessEnvironment m_env;
};

/// The size of a file once it has stopped growing for a second.
qint64 steadySize(const QString& file) {
    qint64 last = -1;
    for (int i = 0; i < 40; ++i) {
        const qint64 now = QFileInfo(file).size();
        if (now == last)
            return now;
        last = now;
        QThread::msleep(500);
    }
    return -1;
}

} // namespace

TEST(OrvantaDesktop, HotKeysRecordAndASecondStartLeavesTheRecordingAlone) {
    ASSERT_TRUE(soundServerRuns()) << "the test command starts a private sound server";
    Surroundings where(2); // WAV: the recording can be compared sample for sample
    ASSERT_TRUE(where.saved);
    QTemporaryDir signalDir;
    // A second of silence first: an idle sink wakes up with it, so the signal itself arrives
    // whole.
    std::vector<int16_t> played(static_cast<size_t>(Rate) * 2, 0);
    const std::vector<int16_t> noise = testSignal(3 * Rate, 77);
    played.insert(played.end(), noise.begin(), noise.end());
    const QString signalFile = signalDir.filePath(QStringLiteral("signal.wav"));
    ASSERT_TRUE(writeWav16(signalFile, Rate, 2, played));

    auto first = std::make_unique<Program>(where);
    ASSERT_FALSE(first->waitForWindow().isEmpty()) << "the window did not appear";

    // Stop while idle is harmless; Start records.
    pressKeys(QStringLiteral("ctrl+alt+s"));
    pressKeys(QStringLiteral("ctrl+alt+r"));
    ASSERT_TRUE(waitFor([&] { return !where.recordings().isEmpty(); }))
        << "Ctrl+Alt+R started no recording";
    const QString file = QDir(where.music).filePath(where.recordings().first());

    // A second start while the signal plays: it ends at once, and the first goes on.
    QProcess player;
    player.start(QStringLiteral("paplay"), {QStringLiteral("--device=") + TestSink, signalFile});
    Program second(where);
    EXPECT_EQ(second.finish(), 0) << "the second start must end with status 0";
    ASSERT_TRUE(player.waitForFinished(60000));
    EXPECT_EQ(player.exitCode(), 0);
    // Start again while recording does nothing.
    pressKeys(QStringLiteral("ctrl+alt+r"));
    QThread::msleep(500);
    pressKeys(QStringLiteral("ctrl+alt+s"));
    const qint64 size = steadySize(file);
    ASSERT_GT(size, 44);
    pressKeys(QStringLiteral("ctrl+alt+s"));
    EXPECT_EQ(where.recordings().size(), 1) << where.recordings().join(' ').toStdString();
    EXPECT_TRUE(first->running());

    // Every frame of the signal is in the file, none lost while the second start came and
    // went.
    const DecodedSound sound = decodeSound(file);
    ASSERT_TRUE(sound.ok) << sound.error.toStdString();
    ASSERT_EQ(sound.sampleRate, Rate);
    const SignalMatch match = matchPlayedSignal(sound.samples, noise, 1);
    ASSERT_TRUE(match.found) << match.problem.toStdString();
    EXPECT_EQ(match.mismatches, 0u) << "first at sample " << match.firstMismatch;

    // After a crash the socket is left behind; the next start still becomes the program,
    // and a start after that hands over to it.
    first->signal(SIGKILL);
    first->finish();
    first.reset();
    Program third(where);
    EXPECT_FALSE(third.waitForWindow().isEmpty()) << "no window after a crashed instance";
    Program fourth(where);
    EXPECT_EQ(fourth.finish(), 0);
    EXPECT_TRUE(third.running());
    // Ctrl+Alt+O shows the settings dialog.
    pressKeys(QStringLiteral("ctrl+alt+o"));
    EXPECT_FALSE(third.waitForWindow(QStringLiteral("^Settings")).isEmpty());
    third.signal(SIGTERM);
    EXPECT_EQ(third.finish(), 0);
}

TEST(OrvantaDesktop, MinimiseDocksInTheTrayAndAClickBringsTheWindowBack) {
    ASSERT_TRUE(soundServerRuns()) << "the test command starts a private sound server";
    Surroundings where(0);
    ASSERT_TRUE(where.saved);

    // A tray host in the top left corner, one icon wide.
    QProcess tray;
    tray.start(QStringLiteral("trayer"),
               {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
                QStringLiteral("left"), QStringLiteral("--widthtype"), QStringLiteral("pixel"),
                QStringLiteral("--width"), QStringLiteral("32"), QStringLiteral("--heighttype"),
                QStringLiteral("pixel"), QStringLiteral("--height"), QStringLiteral("32"),
                QStringLiteral("--expand"), QStringLiteral("false")});
    ASSERT_TRUE(tray.waitForStarted());
    ASSERT_TRUE(waitFor([] {
        return !xdotool(
                    {QStringLiteral("search"), QStringLiteral("--class"), QStringLiteral("trayer")})
                    .isEmpty();
    })) << "trayer did not start";
    QThread::msleep(500);

    Program program(where);
    const QString window = program.waitForWindow();
    ASSERT_FALSE(window.isEmpty());
    click(window, MinimiseButton);
    ASSERT_TRUE(waitFor([&] { return mapState(window) == QStringLiteral("IsUnMapped"); }))
        << "the minimise button left the window on the screen";

    // The icon sits in the tray's corner; a click on it brings the window back.
    QThread::msleep(500);
    xdotool({QStringLiteral("mousemove"), QStringLiteral("16"), QStringLiteral("16"),
             QStringLiteral("click"), QStringLiteral("1")});
    EXPECT_TRUE(waitFor([&] { return mapState(window) == QStringLiteral("IsViewable"); }))
        << "a click on the tray icon did not bring the window back";

    // The tray host goes away while the window is in the tray: the window comes back.
    click(window, MinimiseButton);
    ASSERT_TRUE(waitFor([&] { return mapState(window) == QStringLiteral("IsUnMapped"); }));
    tray.kill();
    tray.waitForFinished(10000);
    EXPECT_TRUE(waitFor([&] { return mapState(window) == QStringLiteral("IsViewable"); }))
        << "the window stayed hidden after its tray went away";

    // Without a tray the minimise button never hides the window.
    click(window, MinimiseButton);
    QThread::msleep(1000);
    EXPECT_EQ(mapState(window), QStringLiteral("IsViewable"));

    program.signal(SIGTERM);
    EXPECT_EQ(program.finish(), 0);
}

namespace {

TEST(OrvantaDesktop, SignalDuringAStartUpMessageEndsTheProgram) {
    // No sound server answers: the start stops at a message box that nobody answers.
    Surroundings where(0);
    ASSERT_TRUE(where.saved);
    where.env.insert(QStringLiteral("PULSE_SERVER"),
                     QStringLiteral("unix:") + where.dir.filePath(QStringLiteral("no-server")));
    Program program(where);
    // The failed enumeration is reported first, then the missing sound card.
    const QString box =
        program.waitForWindow(QStringLiteral("^(Audio Device Error|Sound card enumeration error)"));
    ASSERT_FALSE(box.isEmpty()) << "no message about the missing sound server";
    program.signal(SIGTERM);
    EXPECT_EQ(program.finish(), 0) << "the program hung or died at SIGTERM during its start";
    EXPECT_TRUE(where.recordings().isEmpty());
}

} // namespace

TEST(OrvantaDesktop, SignalWhileTheDataHandlerShowsAWriteFailureEndsWithEverythingSaved) {
    ASSERT_TRUE(soundServerRuns()) << "the test command starts a private sound server";
    Surroundings where(2);
    ASSERT_TRUE(where.saved);
    // No file of the program may grow past this size: the recording's next write fails, and
    // the data handler reports it in a box while the storage thread waits for the handler.
    Program program(where, [] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = 256 * 1024;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    ASSERT_FALSE(program.waitForWindow().isEmpty()) << "the window did not appear";
    const QStringList settings{QStringLiteral("tressic.xml"), QStringLiteral("events.xml"),
                               QStringLiteral("names.xml")};
    for (const QString& name : settings)
        QFile::remove(where.settings + name);
    pressKeys(QStringLiteral("ctrl+alt+r"));
    ASSERT_FALSE(program.waitForWindow(QStringLiteral("^Can not write audio file")).isEmpty())
        << "no write failure was shown";
    program.signal(SIGTERM);
    EXPECT_EQ(program.finish(20000), 0) << "the program hung or died at SIGTERM in the box";
    ASSERT_EQ(where.recordings().size(), 1);
    EXPECT_EQ(wavcheck::sizeProblem(QDir(where.music).filePath(where.recordings()[0])), QString());
    for (const QString& name : settings)
        EXPECT_TRUE(QFile::exists(where.settings + name)) << qPrintable(name);
}

TEST(OrvantaDesktop, SoundServerThatStopsAndComesBackClosesTheRecordingAndCaptureGoesOn) {
    // A server of its own: the one the other tests record from stays up.
    RestartableServer server;
    const QString started = server.start();
    ASSERT_EQ(started, QString());
    Surroundings where(2);
    ASSERT_TRUE(where.saved);
    where.env.insert(QStringLiteral("PULSE_SERVER"), server.address());
    Program program(where, {}, Program::Errors::Collect);
    ASSERT_FALSE(program.waitForWindow().isEmpty()) << "the window did not appear";
    pressKeys(QStringLiteral("ctrl+alt+r"));
    ASSERT_TRUE(waitFor([&] { return !where.recordings().isEmpty(); }));
    const QString first = QDir(where.music).filePath(where.recordings().first());
    ASSERT_TRUE(waitFor([&] { return QFileInfo(first).size() > Rate; }))
        << "the recording does not grow";

    // orvanta-rec records beside it, from the same server.
    QTemporaryDir recFolder;
    QProcessEnvironment recEnv = QProcessEnvironment::systemEnvironment();
    recEnv.insert(QStringLiteral("PULSE_SERVER"), server.address());
    ProgramRun rec(QStringLiteral(ORVANTA_REC), {QStringLiteral("--output"), recFolder.path()},
                   recEnv);
    ASSERT_TRUE(rec.waitForError(QStringLiteral("receiving audio"))) << rec.errors();

    server.stop();
    // Both close their files and say why.
    EXPECT_EQ(rec.finish(), 1) << rec.errors();
    EXPECT_TRUE(rec.errors().contains(QStringLiteral("The sound server stopped."))) << rec.errors();
    EXPECT_TRUE(
        rec.errors().contains(QStringLiteral("the sound server stopped. The file was closed")))
        << rec.errors();
    const QStringList recFiles = QDir(recFolder.path()).entryList(QDir::Files);
    ASSERT_EQ(recFiles.size(), 1);
    EXPECT_EQ(wavcheck::sizeProblem(QDir(recFolder.path()).filePath(recFiles[0])), QString());

    ASSERT_TRUE(program.waitForError(QStringLiteral("The sound server stopped.")))
        << program.errors();
    EXPECT_GT(steadySize(first), 44);
    EXPECT_EQ(wavcheck::sizeProblem(first), QString());
    ASSERT_TRUE(program.running());

    // Back again: the program captures by itself, and Start records.
    ASSERT_EQ(server.start(), QString());
    ASSERT_TRUE(program.waitForError(QStringLiteral("The sound server is back")))
        << program.errors();
    EXPECT_TRUE(xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                         QStringLiteral("--name"), QStringLiteral("^Recording thread terminated")})
                    .isEmpty())
        << "a box waits for an answer";
    pressKeys(QStringLiteral("ctrl+alt+r"));
    ASSERT_TRUE(waitFor([&] { return where.recordings().size() == 2; }))
        << where.recordings().join(' ');
    QString second;
    for (const QString& name : where.recordings())
        if (QDir(where.music).filePath(name) != first)
            second = QDir(where.music).filePath(name);
    EXPECT_TRUE(waitFor([&] { return QFileInfo(second).size() > Rate; }))
        << "the new recording does not grow";
    pressKeys(QStringLiteral("ctrl+alt+s"));
    EXPECT_GT(steadySize(second), 44);
    EXPECT_EQ(wavcheck::sizeProblem(second), QString());

    program.signal(SIGTERM);
    EXPECT_EQ(program.finish(), 0);
}

TEST(OrvantaDesktop, TheBuildTreesProgramReadsTagsAndPlayingTimesInItsBrowser) {
    // Started where the run command leaves it, with nothing pointing at its files.
    Surroundings where(0);
    ASSERT_TRUE(where.saved);
    const QString made = makeTaggedRecordings(where.music);
    ASSERT_TRUE(made.isEmpty()) << made;
    const QString output = browserListing(QStringLiteral(ORVANTA), where.env);
    EXPECT_EQ(missingTaggedRows(output), QString()) << output;
}
