#include "settings/desktop.h"

#include "common/datafiles.h"
#include "settingstestenv.h"
#include "support/fakemessages.h"
#include "support/qtprint.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Puts an executable shell script named `name` into `folder`, standing in for a desktop
// helper program.
void writeScript(const QString& folder, const QString& name, const QByteArray& body) {
    const QString path = folder + QLatin1Char('/') + name;
    writeBytes(path, "#!/bin/sh\n" + body + "\n");
    ASSERT_TRUE(
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

// Waits for a file that a detached helper writes; gives up after a generous bound instead
// of hanging the test.
QByteArray waitForFile(const QString& path) {
    for (int i = 0; i < 3000 && !QFile::exists(path); ++i) {
        QThread::msleep(10);
    }
    QThread::msleep(20); // let the helper finish writing
    return readBytes(path);
}

// Starts a child that does nothing until killed. When `ignoreClose` is set it ignores the
// close request (SIGTERM). Returns once the child has set up its signal handling.
pid_t startIdleChild(bool ignoreClose) {
    int ready[2];
    if (pipe(ready) != 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        ::close(ready[0]);
        if (ignoreClose) {
            std::signal(SIGTERM, SIG_IGN);
        }
        const char byte = 1;
        (void)!write(ready[1], &byte, 1);
        for (;;) {
            pause();
        }
    }
    ::close(ready[1]);
    char byte = 0;
    (void)!read(ready[0], &byte, 1);
    ::close(ready[0]);
    return pid;
}

int signalThatEnded(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFSIGNALED(status)) {
        return -1;
    }
    return WTERMSIG(status);
}

} // namespace

TEST(StripExt, RemovesOnlyAnExtensionOfTheLastPathElement) {
    EXPECT_EQ(stripext(QStringLiteral("track.mp3")), QStringLiteral("track"));
    EXPECT_EQ(stripext(QStringLiteral("/rec/a.b/track")), QStringLiteral("/rec/a.b/track"));
    EXPECT_EQ(stripext(QStringLiteral("/rec/a.b/track.flac")), QStringLiteral("/rec/a.b/track"));
    EXPECT_EQ(stripext(QStringLiteral("/rec/track.part.ogg")), QStringLiteral("/rec/track.part"));
    EXPECT_EQ(stripext(QStringLiteral("/rec/track")), QStringLiteral("/rec/track"));
    EXPECT_EQ(stripext(QStringLiteral("track.")), QStringLiteral("track"));
    EXPECT_EQ(stripext(QString()), QString());
}

TEST(TimeText, ShowsTheTimeOfDayOnly) {
    EXPECT_EQ(timetext(0.0), QStringLiteral("00:00:00"));
    EXPECT_EQ(timetext(0.5), QStringLiteral("12:00:00"));
    EXPECT_EQ(timetext(1.25), QStringLiteral("06:00:00"));
    EXPECT_EQ(timetext(datetime::encode(2024, 8, 8, 22, 15, 7)), QStringLiteral("22:15:07"));
    EXPECT_EQ(timetext(datetime::encode(2024, 8, 8, 23, 59, 59)), QStringLiteral("23:59:59"));
    // Elapsed times are differences of moments and carry rounding noise.
    EXPECT_EQ(timetext(datetime::encode(2024, 8, 8, 10, 0, 5) - datetime::encode(2024, 8, 8, 10)),
              QStringLiteral("00:00:05"));
    // Before 1899-12-30 the fraction still counts forward from midnight.
    EXPECT_EQ(timetext(-1.25), QStringLiteral("06:00:00"));
    EXPECT_EQ(timetext(std::nan("")), QStringLiteral("00:00:00"));
    EXPECT_EQ(timetext(1e300), QStringLiteral("00:00:00"));
}

TEST(DesktopFolders, HaveNoTrailingSeparatorAndAreNotCreated) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    const QString config = home.path() + QStringLiteral("/config");
    ASSERT_TRUE(QDir().mkpath(config));
    writeBytes(config + QStringLiteral("/user-dirs.dirs"), "XDG_MUSIC_DIR=\"$HOME/Tunes/\"\n");
    ScopedEnv homeEnv("HOME", home.path().toUtf8());
    ScopedEnv configEnv("XDG_CONFIG_HOME", (config + QStringLiteral("/")).toUtf8());

    EXPECT_EQ(getappdatafolder(), config);
    const QString music = getmusicfolder();
    EXPECT_FALSE(music.endsWith(QLatin1Char('/'))) << music.toStdString();
    EXPECT_EQ(music, home.path() + QStringLiteral("/Tunes"));
    EXPECT_FALSE(QDir(home.path() + QStringLiteral("/Tunes")).exists());
}

TEST(Autostart, OneEntryWithTheCurrentProgram) {
    TempHome home;
    FakeMessages messages;
    const QString folder = home.path() + QStringLiteral("/config/autostart");

    EXPECT_FALSE(isautostart());
    EXPECT_FALSE(QDir(folder).exists()); // asking creates nothing

    ASSERT_TRUE(setautostart(true));
    ASSERT_TRUE(setautostart(true));
    EXPECT_TRUE(isautostart());
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("tallisk.desktop")});
    const QString program = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    const QByteArray entry = readBytes(folder + QStringLiteral("/tallisk.desktop"));
    EXPECT_TRUE(entry.startsWith("[Desktop Entry]\n")) << entry.constData();
    EXPECT_EQ(entry.count("\nExec="), 1);
    EXPECT_TRUE(entry.contains("\nExec=" + desktopExecValue(program).toUtf8() + "\n"))
        << entry.constData();

    ASSERT_TRUE(setautostart(false));
    EXPECT_FALSE(isautostart());
    EXPECT_FALSE(QFile::exists(folder + QStringLiteral("/tallisk.desktop")));
    EXPECT_TRUE(setautostart(false)); // absent: nothing to do, no error
    EXPECT_TRUE(messages.shown.empty());

    // An entry switched off by the desktop's own settings does not count.
    writeBytes(folder + QStringLiteral("/tallisk.desktop"),
               "[Desktop Entry]\nType=Application\nExec=/bin/true\nHidden=true\n");
    EXPECT_FALSE(isautostart());
}

TEST(Autostart, QuotesTheProgramPathAsTheEntryFormatRequires) {
    EXPECT_EQ(desktopExecValue(QStringLiteral("/usr/bin/orvanta")),
              QStringLiteral("\"/usr/bin/orvanta\""));
    // Inside quotes " ` $ \ take a backslash, % is doubled, and then every backslash is
    // doubled again by the value escapes.
    EXPECT_EQ(desktopExecValue(QStringLiteral("/opt/my apps/a\"b$c`d%e\\f")),
              QStringLiteral("\"/opt/my apps/a\\\\\"b\\\\$c\\\\`d%%e\\\\\\\\f\""));
}

TEST(DefaultBrowser, ReadsTheDefaultBrowsersEntryOrFallsBackToTheOpener) {
    TempHome home;
    const QString bin = home.path() + QStringLiteral("/bin");
    ASSERT_TRUE(QDir().mkpath(bin));
    ScopedEnv path("PATH", bin.toUtf8());
    EXPECT_EQ(getdefaultbrowser(), QStringLiteral("xdg-open"));

    writeScript(bin, QStringLiteral("xdg-settings"), "echo testbrowser.desktop");
    EXPECT_EQ(getdefaultbrowser(), QStringLiteral("xdg-open")); // no such entry installed

    writeBytes(home.path() + QStringLiteral("/data/applications/testbrowser.desktop"),
               "[Desktop Entry]\nName=Test\nExec[de]=wrong\n"
               "Exec=testbrowser --new-window %u\n[Desktop Action x]\nExec=other\n");
    EXPECT_EQ(getdefaultbrowser(), QStringLiteral("testbrowser --new-window %u"));

    // Without xdg-settings, the handler of web addresses answers.
    ASSERT_TRUE(QFile::remove(bin + QStringLiteral("/xdg-settings")));
    writeScript(bin, QStringLiteral("xdg-mime"),
                "[ \"$3\" = x-scheme-handler/https ] && echo testbrowser.desktop");
    EXPECT_EQ(getdefaultbrowser(), QStringLiteral("testbrowser --new-window %u"));
}

TEST(OpenHelp, OpensTheDocumentWithTheDesktopOrSaysItIsMissing) {
    TempHome home;
    FakeMessages messages;
    openhelp(QStringLiteral("no-such-help.html"), QString());
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, QStringLiteral("Unable to open help file :") +
                                          executableFolder() +
                                          QStringLiteral("/no-such-help.html"));

    const QString data = home.path() + QStringLiteral("/share");
    const QString bin = home.path() + QStringLiteral("/bin");
    const QString record = home.path() + QStringLiteral("/opened");
    writeBytes(data + QStringLiteral("/help.html"), "<html></html>");
    ASSERT_TRUE(QDir().mkpath(bin));
    writeScript(bin, QStringLiteral("xdg-open"),
                "printf '%s|%s' \"$1\" \"$#\" > \"" + record.toUtf8() + ".tmp\" && mv \"" +
                    record.toUtf8() + ".tmp\" \"" + record.toUtf8() + "\"");
    ScopedEnv dataDir("ORVANTA_DATA_DIR", data.toUtf8());
    ScopedEnv path("PATH", bin.toUtf8() + ':' + qgetenv("PATH"));
    const QString help = QFileInfo(data + QStringLiteral("/help.html")).canonicalFilePath();

    messages.shown.clear();
    openhelp(QStringLiteral("help.html"), QString());
    EXPECT_EQ(QString::fromUtf8(waitForFile(record)), help + QStringLiteral("|1"));
    EXPECT_TRUE(messages.shown.empty());

    ASSERT_TRUE(QFile::remove(record));
    openhelp(QStringLiteral("help.html"), QStringLiteral("scheduler"));
    EXPECT_EQ(QString::fromUtf8(waitForFile(record)),
              QStringLiteral("file://") + help + QStringLiteral("#scheduler|1"));
    EXPECT_TRUE(messages.shown.empty());
}

TEST(CloseProcess, AsksFirstAndTerminatesAfterTheWait) {
    const pid_t polite = startIdleChild(false);
    ASSERT_GT(polite, 0);
    closeprocess(static_cast<uint32_t>(polite), 5000);
    EXPECT_EQ(signalThatEnded(polite), SIGTERM);

    const pid_t stubborn = startIdleChild(true);
    ASSERT_GT(stubborn, 0);
    closeprocess(static_cast<uint32_t>(stubborn), 100);
    EXPECT_EQ(signalThatEnded(stubborn), SIGKILL);

    // Gone processes and ids that would reach more than one process are left alone.
    closeprocess(static_cast<uint32_t>(stubborn), 100);
    closeprocess(0, 100);
    closeprocess(1, 100);
    closeprocess(0xffffffffu, 100);
    closeprocess(static_cast<uint32_t>(getpid()), 100);
    SUCCEED() << "still running";
}

TEST(RecycleBin, MovesTheFileIntoTheUsersTrash) {
    TempHome home;
    // A fresh home without ~/.local/share, the case that sends Qt's trash astray.
    ScopedEnv noDataHome("XDG_DATA_HOME", QByteArray());
    QTemporaryDir work;
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(work.path()));

    const QString file = home.path() + QStringLiteral("/recordings/take 1.mp3");
    writeBytes(file, "sound");
    EXPECT_TRUE(DeleteToRecycleBin(file));
    EXPECT_FALSE(QFile::exists(file));
    const QString trash = home.path() + QStringLiteral("/.local/share/Trash");
    EXPECT_EQ(readBytes(trash + QStringLiteral("/files/take 1.mp3")), QByteArray("sound"));
    EXPECT_TRUE(QFile::exists(trash + QStringLiteral("/info/take 1.mp3.trashinfo")));
    EXPECT_TRUE(QDir(work.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());

    EXPECT_FALSE(DeleteToRecycleBin(home.path() + QStringLiteral("/recordings/missing.mp3")));
    ASSERT_TRUE(QDir::setCurrent(previous));
}
