// The application of a scheduled event: splitting its command (commandArguments), the
// messages of openURL, and a real child started and closed again.

#include "fakelauncher.h"
#include "scheduler/processlauncher.h"
#include "scheduler/scheduler.h"

#include "common/clock.h"
#include "platform/playback/playbackengine.h"
#include "recorder/recorder.h"
#include "support/eventloop.h"
#include "support/fakemessages.h"
#include "support/qtprint.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <memory>
#include <utility>
#include <vector>

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

const QString Url =
    QStringLiteral("http://radio.example/play list?a=\"1\"&b='2';$HOME `id` %u \\ end");

QStringList args(std::initializer_list<QString> list) {
    return QStringList(list);
}

} // namespace

TEST(CommandArguments, AppendsTheAddressAsOneArgumentWhenThereIsNoPlaceholder) {
    EXPECT_EQ(commandArguments(QStringLiteral("firefox"), QStringLiteral("http://a.example/")),
              args({QStringLiteral("firefox"), QStringLiteral("http://a.example/")}));
    EXPECT_EQ(commandArguments(QStringLiteral("firefox --new-window"), Url),
              args({QStringLiteral("firefox"), QStringLiteral("--new-window"), Url}));
    // Any run of blanks separates arguments.
    EXPECT_EQ(commandArguments(QStringLiteral("  player \t --a   --b  "), Url),
              args({QStringLiteral("player"), QStringLiteral("--a"), QStringLiteral("--b"), Url}));
}

TEST(CommandArguments, DoubleQuotesKeepSpacesAndBackslashEscapesInsideThem) {
    EXPECT_EQ(
        commandArguments(QStringLiteral("\"/opt/My Player/bin/player\" --title \"two words\""),
                         QStringLiteral("u")),
        args({QStringLiteral("/opt/My Player/bin/player"), QStringLiteral("--title"),
              QStringLiteral("two words"), QStringLiteral("u")}));
    // \" \` \$ and \\ inside quotes stand for the character; other backslashes stay.
    EXPECT_EQ(commandArguments(QStringLiteral("app \"say \\\"hi\\\" \\`x\\` \\$HOME \\\\ a\\b\""),
                               QString()),
              args({QStringLiteral("app"), QStringLiteral("say \"hi\" `x` $HOME \\ a\\b")}));
    // Outside quotes a backslash is an ordinary character.
    EXPECT_EQ(commandArguments(QStringLiteral("app a\\ b"), QString()),
              args({QStringLiteral("app"), QStringLiteral("a\\"), QStringLiteral("b")}));
    // A quoted part inside an argument, an empty quoted argument, an unclosed quote.
    EXPECT_EQ(commandArguments(QStringLiteral("app --name=\"a b\"c \"\" \"/opt/x y"), QString()),
              args({QStringLiteral("app"), QStringLiteral("--name=a bc"), QString(),
                    QStringLiteral("/opt/x y")}));
}

TEST(CommandArguments, DoublePercentIsALiteralPercent) {
    EXPECT_EQ(commandArguments(QStringLiteral("app 100%% --x=%%u \"%%\""), Url),
              args({QStringLiteral("app"), QStringLiteral("100%"), QStringLiteral("--x=%u"),
                    QStringLiteral("%"), Url}));
}

TEST(CommandArguments, EachPlaceholderTakesTheAddress) {
    for (const char* code : {"%u", "%U", "%f", "%F", "%1"}) {
        const QString app =
            QStringLiteral("app --open ") + QLatin1String(code) + QStringLiteral(" --last");
        EXPECT_EQ(commandArguments(app, Url), args({QStringLiteral("app"), QStringLiteral("--open"),
                                                    Url, QStringLiteral("--last")}))
            << code;
        // In quotes too.
        const QString quoted = QStringLiteral("app \"") + QLatin1String(code) + QLatin1Char('"');
        EXPECT_EQ(commandArguments(quoted, Url), args({QStringLiteral("app"), Url})) << code;
    }
}

TEST(CommandArguments, PlaceholderInsideALargerArgument) {
    EXPECT_EQ(commandArguments(QStringLiteral("app --url=%u"), Url),
              args({QStringLiteral("app"), QStringLiteral("--url=") + Url}));
    EXPECT_EQ(commandArguments(QStringLiteral("app \"--url=%u\" x"), Url),
              args({QStringLiteral("app"), QStringLiteral("--url=") + Url, QStringLiteral("x")}));
    EXPECT_EQ(commandArguments(QStringLiteral("app <%u>"), QStringLiteral("a b")),
              args({QStringLiteral("app"), QStringLiteral("<a b>")}));
}

TEST(CommandArguments, EmptyAddress) {
    // A placeholder argument that is only the placeholder disappears.
    EXPECT_EQ(commandArguments(QStringLiteral("app %u --x"), QString()),
              args({QStringLiteral("app"), QStringLiteral("--x")}));
    EXPECT_EQ(commandArguments(QStringLiteral("app \"%U\""), QString()),
              args({QStringLiteral("app")}));
    // Inside a larger argument the rest stays.
    EXPECT_EQ(commandArguments(QStringLiteral("app --url=%u"), QString()),
              args({QStringLiteral("app"), QStringLiteral("--url=")}));
    // Nothing is appended.
    EXPECT_EQ(commandArguments(QStringLiteral("app --x"), QString()),
              args({QStringLiteral("app"), QStringLiteral("--x")}));
}

TEST(CommandArguments, TheAddressIsNeverSplitOrChanged) {
    for (const QString& url :
         {QStringLiteral("http://a.example/x y z"), QStringLiteral("\"quoted\" & more"),
          QStringLiteral("a&b|c;d>e<f"), QStringLiteral("%u %% %i \\\" '"),
          QStringLiteral(" leading and trailing "), Url}) {
        EXPECT_EQ(commandArguments(QStringLiteral("app"), url), args({QStringLiteral("app"), url}));
        EXPECT_EQ(commandArguments(QStringLiteral("app %u"), url),
                  args({QStringLiteral("app"), url}));
    }
}

TEST(CommandArguments, OtherFieldCodesAreDropped) {
    EXPECT_EQ(commandArguments(QStringLiteral("app %i %c %k --a%d%D %n %N %v %m %u"), Url),
              args({QStringLiteral("app"), QStringLiteral("--a"), Url}));
    EXPECT_EQ(commandArguments(QStringLiteral("app %i"), QString()), args({QStringLiteral("app")}));
}

TEST(CommandArguments, NoProgramGivesNothing) {
    for (const QString& app :
         {QString(), QStringLiteral("   "), QStringLiteral("\t \n"), QStringLiteral("\"\""),
          QStringLiteral("\" \" --x"), QStringLiteral("%i"), QStringLiteral("%u"),
          QStringLiteral("%u --x"), QStringLiteral("--url=%u")}) {
        EXPECT_TRUE(commandArguments(app, QString()).isEmpty()) << qPrintable(app);
        // The address never becomes the program.
        EXPECT_TRUE(commandArguments(app, QStringLiteral("/usr/bin/id")).isEmpty())
            << qPrintable(app);
    }
}

namespace {

/// A scheduler on a headless recorder, for openURL and closeurl.
class OpenUrlTest : public ::testing::Test {
protected:
    FakeMessages shown;
    ManualClock clock;
    HeadlessRecorderView view;
    NullPlaybackEngine playback;
    TRecorder recorder{view, clock, playback};
};

bool processGone(int64_t pid) {
    if (kill(static_cast<pid_t>(pid), 0) != 0)
        return errno == ESRCH;
    // Ended but not reaped yet: the detached child's parent is init or a subreaper.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close >= 0 && close + 2 < text.size() && text.at(close + 2) == 'Z';
}

} // namespace

TEST_F(OpenUrlTest, StartsTheSplitCommandAndKeepsTheProcessId) {
    FakeLauncher launcher;
    TScheduler scheduler(recorder, clock, launcher);
    EXPECT_EQ(heldPid(scheduler), 0);
    scheduler.closeurl(); // nothing started: nothing closed
    EXPECT_TRUE(launcher.closes.empty());

    scheduler.openURL(QStringLiteral("browser --new-window"), Url);
    ASSERT_EQ(launcher.starts.size(), 1u);
    EXPECT_EQ(launcher.starts[0].program, QStringLiteral("browser"));
    EXPECT_EQ(launcher.starts[0].arguments, args({QStringLiteral("--new-window"), Url}));
    EXPECT_EQ(heldPid(scheduler), 500);
    // A second start overwrites the first one's id.
    scheduler.openURL(QStringLiteral("player"), QString());
    EXPECT_EQ(launcher.starts[1].arguments, QStringList());
    EXPECT_EQ(heldPid(scheduler), 501);

    scheduler.closeurl();
    EXPECT_EQ(launcher.closes, (std::vector<std::pair<int64_t, uint32_t>>{{501, 100}}));
    EXPECT_EQ(heldPid(scheduler), 0);
    scheduler.closeurl(); // closed already
    EXPECT_EQ(launcher.closes.size(), 1u);
    EXPECT_TRUE(shown.shown.empty());
}

TEST_F(OpenUrlTest, EmptyCommandIsReportedAndNothingStarts) {
    FakeLauncher launcher;
    TScheduler scheduler(recorder, clock, launcher);
    scheduler.openURL(QString(), QString());
    scheduler.openURL(QStringLiteral("   "), QString());
    // An empty application with an address: the address is not run as a program.
    scheduler.openURL(QString(), QStringLiteral("/usr/bin/id"));
    EXPECT_TRUE(launcher.starts.empty());
    ASSERT_EQ(shown.shown.size(), 3u);
    for (const auto& m : shown.shown) {
        EXPECT_EQ(m.text, QStringLiteral("Scheduler error: Application not specified"));
        EXPECT_EQ(m.caption, QStringLiteral("Orvanta"));
        EXPECT_EQ(m.icon, MessageIcon::Error);
        EXPECT_EQ(m.buttons, MessageButtons::Ok);
    }
    EXPECT_EQ(heldPid(scheduler), 0);
}

TEST_F(OpenUrlTest, StartFailureShowsTheLaunchersTextAndChangesNothingElse) {
    FakeLauncher launcher;
    TScheduler scheduler(recorder, clock, launcher);
    scheduler.openURL(QStringLiteral("player"), QString());
    ASSERT_EQ(heldPid(scheduler), 500);
    launcher.failure = QStringLiteral("Cannot start \"x\": Permission denied");
    scheduler.openURL(QStringLiteral("x"), Url);
    ASSERT_EQ(shown.shown.size(), 1u);
    EXPECT_EQ(shown.shown[0].text,
              QStringLiteral("Scheduler error: Cannot start \"x\": Permission denied"));
    EXPECT_EQ(shown.shown[0].caption, QStringLiteral("Orvanta"));
    EXPECT_EQ(shown.shown[0].icon, MessageIcon::Error);
    EXPECT_EQ(heldPid(scheduler), 500);
}

TEST_F(OpenUrlTest, MissingOrUnrunnableProgramGivesTheSystemsText) {
    SystemProcessLauncher launcher;
    TScheduler scheduler(recorder, clock, launcher);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());

    scheduler.openURL(QStringLiteral("orvanta-no-such-program --flag"), Url);
    scheduler.openURL(dir.filePath(QStringLiteral("missing")), QString());
    scheduler.openURL(QStringLiteral("\"") + dir.path() + QStringLiteral("\""), QString());
    QFile plain(dir.filePath(QStringLiteral("plain.txt")));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.write("text\n");
    plain.close();
    scheduler.openURL(plain.fileName(), QString());

    ASSERT_EQ(shown.shown.size(), 4u);
    EXPECT_EQ(shown.shown[0].text, QStringLiteral("Scheduler error: Cannot start "
                                                  "\"orvanta-no-such-program\": No such file or "
                                                  "directory"));
    EXPECT_EQ(shown.shown[1].text, QStringLiteral("Scheduler error: Cannot start \"") +
                                       dir.filePath(QStringLiteral("missing")) +
                                       QStringLiteral("\": No such file or directory"));
    EXPECT_TRUE(shown.shown[2].text.startsWith(QStringLiteral("Scheduler error: Cannot start \"") +
                                               dir.path() + QLatin1Char('"')))
        << qPrintable(shown.shown[2].text);
    EXPECT_TRUE(shown.shown[3].text.startsWith(QStringLiteral("Scheduler error: Cannot start \"") +
                                               plain.fileName() + QLatin1Char('"')))
        << qPrintable(shown.shown[3].text);
    for (const auto& m : shown.shown) {
        EXPECT_EQ(m.caption, QStringLiteral("Orvanta"));
        EXPECT_EQ(m.icon, MessageIcon::Error);
        EXPECT_EQ(m.buttons, MessageButtons::Ok);
    }
    EXPECT_EQ(heldPid(scheduler), 0);
}

TEST(SystemProcessLauncherTest, LooksUpAProgramWithoutSlashInPath) {
    SystemProcessLauncher launcher;
    QString error;
    const std::unique_ptr<StartedProgram> started =
        launcher.start(QStringLiteral("true"), {}, error);
    ASSERT_TRUE(started) << qPrintable(error);
    EXPECT_GT(started->pid(), 0);
    EXPECT_FALSE(launcher.start(QString(), {}, error));
    EXPECT_FALSE(error.isEmpty());
}

namespace {

std::vector<int> delivered; ///< signals that reached a started program

int recordDelivery(int pidfd, int signal) {
    const auto result = static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
    if (result == 0)
        delivered.push_back(signal);
    return result;
}

struct RecordedDeliveries {
    RecordedDeliveries() {
        delivered.clear();
        setPidfdSignalForTesting(recordDelivery);
    }
    ~RecordedDeliveries() { setPidfdSignalForTesting(nullptr); }
};

/// Ended and reaped: no zombie is left.
bool reaped(int64_t pid) {
    return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

} // namespace

// Which process ends up with the id of a reaped program cannot be arranged; what can be
// shown is that an ended program gets nothing and that closing goes to the started one.
TEST_F(OpenUrlTest, CloseurlSignalsOnlyAProgramThatStillRuns) {
    const RecordedDeliveries recording;
    SystemProcessLauncher launcher;
    TScheduler scheduler(recorder, clock, launcher);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());

    scheduler.openURL(QStringLiteral("true"), QString());
    const int64_t ended = heldPid(scheduler);
    ASSERT_GT(ended, 0);
    ASSERT_TRUE(processUntil([&] { return reaped(ended); }));
    scheduler.closeurl();
    EXPECT_TRUE(delivered.empty());

    // Deaf to the close request: ended after the wait.
    const QString ready = dir.filePath(QStringLiteral("ready"));
    scheduler.openURL(QStringLiteral("/bin/sh -c %u"),
                      QStringLiteral("trap '' TERM; : > '%1'; exec sleep 120").arg(ready));
    const int64_t deaf = heldPid(scheduler);
    ASSERT_GT(deaf, 0);
    ASSERT_TRUE(processUntil([&] { return QFile::exists(ready); }));
    scheduler.closeurl();
    EXPECT_EQ(delivered, (std::vector<int>{SIGTERM, SIGKILL}));
    EXPECT_TRUE(processUntil([&] { return reaped(deaf); }));

    // One let go for a newer one runs on, and is reaped once it ends.
    scheduler.openURL(QStringLiteral("sleep 120"), QString());
    const int64_t earlier = heldPid(scheduler);
    scheduler.openURL(QStringLiteral("true"), QString());
    EXPECT_EQ(delivered.size(), 2u);
    EXPECT_FALSE(reaped(earlier));
    kill(static_cast<pid_t>(earlier), SIGKILL); // still our unreaped child: the id is its own
    EXPECT_TRUE(processUntil([&] { return reaped(earlier); }));
    EXPECT_TRUE(shown.shown.empty());
}

TEST_F(OpenUrlTest, RealChildGetsTheAddressAsOneArgumentAndCloseurlEndsIt) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_FALSE(dir.path().contains(QLatin1Char('\'')));
    const QString out = dir.filePath(QStringLiteral("args"));
    // A path with a space: the command quotes it.
    const QString script = dir.filePath(QStringLiteral("record args.sh"));
    {
        QFile file(script);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        const QString text =
            QStringLiteral("#!/bin/sh\n"
                           "exec </dev/null >/dev/null 2>&1\n"
                           "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > '%1.tmp'\n"
                           "mv '%1.tmp' '%1'\n"
                           "exec sleep 120\n")
                .arg(out);
        file.write(text.toUtf8());
        file.close();
        ASSERT_TRUE(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                        QFile::ReadGroup | QFile::ExeGroup));
    }

    SystemProcessLauncher launcher;
    TScheduler scheduler(recorder, clock, launcher);
    scheduler.openURL(QStringLiteral("\"") + script +
                          QStringLiteral("\" --title \"two words\" --url=%u %i"),
                      Url);
    EXPECT_TRUE(shown.shown.empty()) << qPrintable(shown.shown.front().text);
    const int64_t pid = heldPid(scheduler);
    ASSERT_GT(pid, 0);

    // Hang guard only: the script writes its arguments at once.
    QDeadlineTimer written(30000);
    while (!QFile::exists(out) && !written.hasExpired())
        QThread::msleep(10);
    QFile result(out);
    const bool arrived = result.open(QIODevice::ReadOnly);
    if (!arrived)
        kill(static_cast<pid_t>(pid), SIGKILL);
    ASSERT_TRUE(arrived) << "the child did not write its arguments";
    QStringList got = QString::fromUtf8(result.readAll()).split(QChar(u'\0'));
    ASSERT_FALSE(got.isEmpty());
    EXPECT_TRUE(got.back().isEmpty()); // after the last terminator
    got.removeLast();
    EXPECT_EQ(got, args({QStringLiteral("--title"), QStringLiteral("two words"),
                         QStringLiteral("--url=") + Url}));

    EXPECT_FALSE(processGone(pid));
    scheduler.closeurl();
    EXPECT_EQ(heldPid(scheduler), 0);
    QDeadlineTimer ended(30000);
    while (!processGone(pid) && !ended.hasExpired())
        QThread::msleep(10);
    const bool gone = processGone(pid);
    if (!gone)
        kill(static_cast<pid_t>(pid), SIGKILL);
    EXPECT_TRUE(gone) << "closeurl left the child running";
}
