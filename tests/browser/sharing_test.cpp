#include "browser/sharing.h"

#include "support/eventloop.h"
#include "support/fakemessages.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QObject>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>

namespace {

using namespace std::chrono_literals;

// Fake programs: small shell scripts in a folder of their own that comes first on PATH (or
// is all of PATH), so that no real mail client, player or editor is ever started. Scripts
// use absolute paths for every external command, since PATH may hold only the fakes.
class FakePrograms {
public:
    enum class Path { FakesFirst, FakesOnly };

    explicit FakePrograms(Path path = Path::FakesFirst) : m_oldPath(qgetenv("PATH")) {
        const QByteArray fakes = QFile::encodeName(m_dir.path());
        qputenv("PATH", path == Path::FakesOnly ? fakes : fakes + ':' + m_oldPath);
    }
    ~FakePrograms() { qputenv("PATH", m_oldPath); }

    QString path(const QString& name) const { return m_dir.filePath(name); }

    /// A script that records its arguments, one a line, in <name>.args (complete once the
    /// file exists), runs `body` and exits with `status`.
    void add(const QString& name, int status, const QString& body = {},
             QFileDevice::Permissions extra = QFileDevice::ExeOwner) {
        const QString args = path(name + QStringLiteral(".args"));
        write(name,
              QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$@\" > '%1'.$$\n/bin/mv '%1'.$$ '%1'\n"
                             "%2\nexit %3\n")
                  .arg(args, body)
                  .arg(status),
              extra);
    }

    void write(const QString& name, const QString& script,
               QFileDevice::Permissions extra = QFileDevice::ExeOwner) {
        QFile file(path(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(script.toUtf8());
        file.close();
        ASSERT_TRUE(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | extra));
    }

    /// The arguments the fake `name` was called with; empty when it has not run.
    QStringList arguments(const QString& name) const {
        QFile file(path(name + QStringLiteral(".args")));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        QString text = QString::fromUtf8(file.readAll());
        text.chop(1);
        return text.split(QLatin1Char('\n'));
    }

    bool ran(const QString& name) const {
        return QFileInfo::exists(path(name + QStringLiteral(".args")));
    }

    /// A shell loop that waits until release() is called.
    QString waitForRelease() const {
        return QStringLiteral("while [ ! -e '%1' ]; do /bin/sleep 0.05; done")
            .arg(path(QStringLiteral("release")));
    }
    void release() {
        QFile file(path(QStringLiteral("release")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }

private:
    QTemporaryDir m_dir;
    QByteArray m_oldPath;
};

// A recording with blanks in its path, which must stay one argument.
QString recordingIn(const QTemporaryDir& dir) {
    const QString path = dir.filePath(QStringLiteral("my recordings/Take 1 (live).mp3"));
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write("ID3");
    return path;
}

char processState(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const int end = text.lastIndexOf(')');
    return end >= 0 && end + 2 < text.size() ? text[end + 2] : 0;
}

qint64 readPid(const QString& pidFile) {
    QFile file(pidFile);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.readAll().trimmed().toLongLong();
}

TEST(MailResult, TextsCodesAndMessage) {
    EXPECT_EQ(mailResultText(0), QStringLiteral("Success"));
    EXPECT_EQ(mailResultText(8), QStringLiteral("To many sessions"));
    EXPECT_EQ(mailResultText(12), QStringLiteral("Attachement open error"));
    EXPECT_EQ(mailResultText(21), QStringLiteral("Ambiguos recipient"));
    EXPECT_EQ(mailResultText(26), QStringLiteral("not supported"));
    EXPECT_EQ(mailResultText(27), QStringLiteral("Unknown error"));
    EXPECT_EQ(mailResultText(-1), QStringLiteral("Unknown error"));

    const int expected[][2] = {{0, 0}, {1, 2}, {2, 11}, {3, 2}, {4, 2}, {5, 6}, {6, 2}, {255, 2}};
    for (const auto& c : expected)
        EXPECT_EQ(mapiCodeFromXdgEmail(c[0]), c[1]) << c[0];

    EXPECT_EQ(mailErrorText(2), QStringLiteral("Mapi Error #2, Mapi error"));
    EXPECT_EQ(mailErrorText(30), QStringLiteral("Mapi Error #30, Unknown error"));
}

// Runs one hand-off to its end and returns the code `done` received (-1: none).
int sendMail(const QString& path) {
    QObject owner;
    int code = -1;
    email mail(path, &owner, [&](int c) { code = c; });
    EXPECT_TRUE(processUntil([&] { return code != -1; }));
    EXPECT_TRUE(mail.finished());
    return code;
}

TEST(Email, MapsXdgEmailResultsAndReportsFailures) {
    QTemporaryDir dir;
    const QString recording = recordingIn(dir);
    struct Case {
        int status;
        int code;
        const char* message;
    } cases[] = {{0, 0, nullptr},
                 {1, 2, "Mapi Error #2, Mapi error"},
                 {2, 11, "Mapi Error #11, Attachment not found"},
                 {5, 6, "Mapi Error #6, Access denied"}};
    for (const Case& c : cases) {
        FakePrograms fakes;
        fakes.add(QStringLiteral("xdg-email"), c.status);
        FakeMessages shown;
        EXPECT_EQ(sendMail(recording), c.code) << c.status;
        EXPECT_EQ(fakes.arguments(QStringLiteral("xdg-email")),
                  QStringList({QStringLiteral("--attach"), recording}));
        if (!c.message) {
            EXPECT_TRUE(shown.shown.empty());
            continue;
        }
        ASSERT_EQ(shown.shown.size(), 1u) << c.status;
        EXPECT_EQ(shown.shown[0].text, QString::fromLatin1(c.message));
        EXPECT_EQ(shown.shown[0].caption, QStringLiteral("Mail Error"));
        EXPECT_EQ(shown.shown[0].icon, MessageIcon::Error);
    }

    // Killed by a signal: no exit status to map.
    {
        FakePrograms fakes;
        fakes.add(QStringLiteral("xdg-email"), 0, QStringLiteral("kill -9 $$"));
        FakeMessages shown;
        EXPECT_EQ(sendMail(recording), 2);
        ASSERT_EQ(shown.shown.size(), 1u);
        EXPECT_EQ(shown.shown[0].text, QStringLiteral("Mapi Error #2, Mapi error"));
    }

    // xdg-email not installed.
    {
        FakePrograms fakes(FakePrograms::Path::FakesOnly);
        FakeMessages shown;
        EXPECT_EQ(sendMail(recording), 2);
        ASSERT_EQ(shown.shown.size(), 1u);
        EXPECT_EQ(shown.shown[0].text, QStringLiteral("Mapi Error #2, Mapi error"));
    }

    // A relative path is passed as an absolute one, never as something like an option.
    {
        FakePrograms fakes;
        fakes.add(QStringLiteral("xdg-email"), 0);
        FakeMessages shown;
        EXPECT_EQ(sendMail(QStringLiteral("-rf.mp3")), 0);
        EXPECT_EQ(fakes.arguments(QStringLiteral("xdg-email")),
                  QStringList({QStringLiteral("--attach"),
                               QDir::current().filePath(QStringLiteral("-rf.mp3"))}));
    }
}

TEST(Email, ReportsNothingAfterTerminateOrWithoutOwner) {
    QTemporaryDir dir;
    const QString recording = recordingIn(dir);
    FakePrograms fakes;
    fakes.add(QStringLiteral("xdg-email"), 1, fakes.waitForRelease());
    FakeMessages shown;

    QObject owner;
    int terminatedCode = -1;
    email terminated(recording, &owner, [&](int c) { terminatedCode = c; });

    auto goneOwner = std::make_unique<QObject>();
    int goneCode = -1;
    email gone(recording, goneOwner.get(), [&](int c) { goneCode = c; });

    // Only the handle goes away: this one still reports.
    int handleCode = -1;
    std::make_unique<email>(recording, &owner, [&](int c) { handleCode = c; }).reset();

    ASSERT_TRUE(processUntil([&] { return fakes.ran(QStringLiteral("xdg-email")); }));
    terminated.terminate();
    goneOwner.reset();
    EXPECT_FALSE(terminated.finished());
    fakes.release();

    ASSERT_TRUE(processUntil([&] { return terminated.finished() && gone.finished(); }));
    ASSERT_TRUE(processUntil([&] { return handleCode != -1; }));
    // Results are posted before finished() turns true, so they would have run by now.
    QCoreApplication::processEvents();
    EXPECT_EQ(terminatedCode, -1);
    EXPECT_EQ(goneCode, -1);
    EXPECT_EQ(handleCode, 2);
    ASSERT_EQ(shown.shown.size(), 1u);
    EXPECT_EQ(shown.shown[0].text, QStringLiteral("Mapi Error #2, Mapi error"));
}

TEST(MediaPlayer, FirstInstalledPlayerInOrder) {
    const QString file = QStringLiteral("/music/a b.mp3");
    auto lookupOf = [](QStringList installed) {
        return [installed](const QString& name) {
            return installed.contains(name) ? QStringLiteral("/usr/bin/") + name : QString();
        };
    };
    const QStringList all = {QStringLiteral("audacious"), QStringLiteral("clementine"),
                             QStringLiteral("strawberry"), QStringLiteral("rhythmbox-client")};

    auto command = findMediaPlayer(file, lookupOf(all));
    ASSERT_TRUE(command);
    EXPECT_EQ(command->program, QStringLiteral("/usr/bin/rhythmbox-client"));
    EXPECT_EQ(command->arguments,
              QStringList({QStringLiteral("--no-start"), QStringLiteral("--enqueue"), file}));

    command = findMediaPlayer(file, lookupOf(all.mid(0, 3)));
    ASSERT_TRUE(command);
    EXPECT_EQ(command->program, QStringLiteral("/usr/bin/strawberry"));
    EXPECT_EQ(command->arguments, QStringList({QStringLiteral("--append"), file}));

    command = findMediaPlayer(file, lookupOf(all.mid(0, 1)));
    ASSERT_TRUE(command);
    EXPECT_EQ(command->arguments, QStringList({QStringLiteral("--enqueue"), file}));

    EXPECT_FALSE(findMediaPlayer(file, lookupOf({})));

    // Through PATH: a non-executable rhythmbox-client does not count.
    FakePrograms fakes(FakePrograms::Path::FakesOnly);
    fakes.add(QStringLiteral("rhythmbox-client"), 0, {}, {});
    fakes.add(QStringLiteral("clementine"), 0);
    fakes.add(QStringLiteral("audacious"), 0);
    command = findMediaPlayer(file);
    ASSERT_TRUE(command);
    EXPECT_EQ(command->program, fakes.path(QStringLiteral("clementine")));
    EXPECT_EQ(command->arguments, QStringList({QStringLiteral("--append"), file}));
}

// Sends `file` to the player the fakes provide and returns the outcome (-1: none).
int sendToPlayer(const QString& file, FakeMessages& shown) {
    QObject owner;
    int outcome = -1;
    sendToMediaPlayer(file, &owner, [&](bool ok) { outcome = ok; });
    EXPECT_EQ(outcome, -1) << "the result must not arrive inside the call";
    EXPECT_TRUE(processUntil([&] { return outcome != -1; }));
    if (outcome == 0) {
        EXPECT_EQ(shown.shown.size(), 1u);
        if (!shown.shown.empty()) {
            EXPECT_EQ(shown.shown[0].text, QStringLiteral("Could not connect to iTunes"));
            EXPECT_EQ(shown.shown[0].caption, QStringLiteral("Error"));
            EXPECT_EQ(shown.shown[0].icon, MessageIcon::Error);
        }
    } else {
        EXPECT_TRUE(shown.shown.empty());
    }
    return outcome;
}

TEST(MediaPlayer, SendReportsTheOutcome) {
    QTemporaryDir dir;
    const QString recording = recordingIn(dir);
    {
        FakePrograms fakes(FakePrograms::Path::FakesOnly);
        fakes.add(QStringLiteral("audacious"), 0);
        FakeMessages shown;
        EXPECT_EQ(sendToPlayer(recording, shown), 1);
        EXPECT_EQ(fakes.arguments(QStringLiteral("audacious")),
                  QStringList({QStringLiteral("--enqueue"), recording}));
    }
    {
        // Only the first player found is tried.
        FakePrograms fakes(FakePrograms::Path::FakesOnly);
        fakes.add(QStringLiteral("strawberry"), 1);
        fakes.add(QStringLiteral("audacious"), 0);
        FakeMessages shown;
        EXPECT_EQ(sendToPlayer(recording, shown), 0);
        EXPECT_TRUE(fakes.ran(QStringLiteral("strawberry")));
        EXPECT_FALSE(fakes.ran(QStringLiteral("audacious")));
    }
    {
        FakePrograms fakes(FakePrograms::Path::FakesOnly);
        fakes.add(QStringLiteral("clementine"), 0, QStringLiteral("kill -9 $$"));
        FakeMessages shown;
        EXPECT_EQ(sendToPlayer(recording, shown), 0);
    }
    {
        FakePrograms fakes(FakePrograms::Path::FakesOnly);
        FakeMessages shown;
        EXPECT_EQ(sendToPlayer(recording, shown), 0);
    }
    {
        // A player that exists but cannot be executed.
        FakePrograms fakes(FakePrograms::Path::FakesOnly);
        fakes.write(QStringLiteral("rhythmbox-client"), QStringLiteral("#!/nonexistent/sh\n"));
        FakeMessages shown;
        EXPECT_EQ(sendToPlayer(recording, shown), 0);
    }
    {
        // The browser closed before the player failed: nothing is shown.
        FakePrograms fakes(FakePrograms::Path::FakesOnly);
        const QString pidFile = fakes.path(QStringLiteral("pid"));
        fakes.add(QStringLiteral("audacious"), 1,
                  QStringLiteral("echo $$ > '%1'.$$\n/bin/mv '%1'.$$ '%1'").arg(pidFile));
        FakeMessages shown;
        auto owner = std::make_unique<QObject>();
        bool called = false;
        sendToMediaPlayer(recording, owner.get(), [&](bool) { called = true; });
        owner.reset();
        ASSERT_TRUE(processUntil([&] { return QFileInfo::exists(pidFile); }));
        const qint64 pid = readPid(pidFile);
        // Reaped means decided; the result is posted by then.
        ASSERT_TRUE(processUntil([&] { return processState(pid) == 0; }));
        QCoreApplication::processEvents();
        EXPECT_FALSE(called);
        EXPECT_TRUE(shown.shown.empty());
    }
}

TEST(MediaPlayer, PlayerStillRunningCountsAndIsLeftRunningThenReaped) {
    FakePrograms fakes(FakePrograms::Path::FakesOnly);
    const QString pidFile = fakes.path(QStringLiteral("pid"));
    fakes.write(QStringLiteral("player"),
                QStringLiteral("#!/bin/sh\necho $$ > '%1'.$$\n/bin/mv '%1'.$$ '%1'\n%2\nexit 0\n")
                    .arg(pidFile, fakes.waitForRelease()));
    QObject owner;
    int outcome = -1;
    runMediaPlayer(
        {fakes.path(QStringLiteral("player")), {QStringLiteral("/music/a.mp3")}}, &owner,
        [&](bool ok) { outcome = ok; }, 300ms);
    ASSERT_TRUE(processUntil([&] { return outcome != -1; }));
    EXPECT_EQ(outcome, 1);

    ASSERT_TRUE(processUntil([&] { return QFileInfo::exists(pidFile); }));
    const qint64 pid = readPid(pidFile);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(::kill(pid_t(pid), 0), 0);
    const char state = processState(pid);
    EXPECT_TRUE(state != 0 && state != 'Z') << state;

    fakes.release();
    // Exited and reaped: no zombie left in the process table.
    EXPECT_TRUE(processUntil([&] { return processState(pid) == 0; }));
}

TEST(AudioEditor, FindsTheExecutableInTheFolder) {
    QTemporaryDir dir;
    const QString folder = dir.path() + QLatin1Char('/');
    FakePrograms fakes;
    auto make = [&](const QString& name, QFileDevice::Permissions mode) {
        QFile file(folder + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("#!/bin/sh\n");
        file.close();
        ASSERT_TRUE(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | mode));
    };

    EXPECT_TRUE(findAudioEditor(folder).isEmpty());
    EXPECT_TRUE(findAudioEditor(QString()).isEmpty());
    make(QStringLiteral("pellasko"), QFileDevice::ExeOwner);
    EXPECT_EQ(findAudioEditor(folder), folder + QStringLiteral("pellasko"));
    make(QStringLiteral("marrowin"), {});
    EXPECT_EQ(findAudioEditor(folder), folder + QStringLiteral("pellasko"));
    make(QStringLiteral("marrowin"), QFileDevice::ExeOwner);
    EXPECT_EQ(findAudioEditor(folder), folder + QStringLiteral("marrowin"));
    // The folder is joined as it stands.
    EXPECT_TRUE(findAudioEditor(dir.path()).isEmpty());

    // A folder named like the editor is no editor.
    QTemporaryDir other;
    QDir(other.path()).mkdir(QStringLiteral("marrowin"));
    EXPECT_TRUE(findAudioEditor(other.path() + QLatin1Char('/')).isEmpty());
}

TEST(AudioEditor, DownloadPage) {
    const char* const variable = "ORVANTA_EDITOR_DOWNLOAD_PAGE";
    qputenv(variable, "https://example.org/pellasko/download");
    EXPECT_EQ(editorDownloadPage(),
              QStringLiteral("https://example.org/pellasko/download?ref=tallisk"));
    qputenv(variable, " http://example.org/get?old=1 ");
    EXPECT_EQ(editorDownloadPage(), QStringLiteral("http://example.org/get?ref=tallisk"));
    qputenv(variable, "ftp://example.org/x");
    EXPECT_TRUE(editorDownloadPage().isEmpty());
    qputenv(variable, "/usr/bin/evil");
    EXPECT_TRUE(editorDownloadPage().isEmpty());
    qputenv(variable, "");
    EXPECT_TRUE(editorDownloadPage().isEmpty());
    qunsetenv(variable);
}

TEST(AudioEditor, EditRecordingStartsTheEditorOrPointsToTheDownload) {
    QTemporaryDir settingsDir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    QTemporaryDir dir;
    const QString recording = recordingIn(dir);
    FakePrograms editors;
    const QString folder = editors.path(QString()) + QLatin1Char('/');
    ASSERT_TRUE(folder.endsWith(QLatin1Char('/')));
    auto setFolder = [](const QString& value) {
        QSettings settings(QStringLiteral("Velmora"), QStringLiteral("Pellasko"));
        if (value.isNull())
            settings.remove(QStringLiteral("Settings/path"));
        else
            settings.setValue(QStringLiteral("Settings/path"), value);
        settings.sync();
    };
    QStringList opened;
    auto openUrl = [&](const QString& url) { opened.append(url); };
    qputenv("ORVANTA_EDITOR_DOWNLOAD_PAGE", "https://example.org/pellasko");

    // Found: started with the recording as one argument; nothing shown.
    setFolder(folder);
    EXPECT_EQ(editorFolder(), folder);
    editors.add(QStringLiteral("pellasko"), 0);
    {
        FakeMessages shown;
        editRecording(recording, openUrl);
        ASSERT_TRUE(processUntil([&] { return editors.ran(QStringLiteral("pellasko")); }));
        EXPECT_EQ(editors.arguments(QStringLiteral("pellasko")), QStringList{recording});
        EXPECT_TRUE(shown.shown.empty());
        EXPECT_TRUE(opened.isEmpty());
    }

    // Found but not startable: said so, no download page.
    editors.write(QStringLiteral("marrowin"), QStringLiteral("#!/nonexistent/sh\n"));
    {
        FakeMessages shown;
        editRecording(recording, openUrl);
        ASSERT_EQ(shown.shown.size(), 1u);
        EXPECT_TRUE(
            shown.shown[0].text.startsWith(QStringLiteral("Could not start the audio editor")))
            << shown.shown[0].text.toStdString();
        EXPECT_EQ(shown.shown[0].icon, MessageIcon::Error);
        EXPECT_TRUE(opened.isEmpty());
    }

    // Not installed: the message, then the download page.
    const QString component = QStringLiteral("Component not found\nPlease download and install it "
                                             "from our site.");
    for (const QString& value : {QString(), folder.chopped(1)}) {
        setFolder(value);
        FakeMessages shown;
        editRecording(recording, openUrl);
        ASSERT_EQ(shown.shown.size(), 1u);
        EXPECT_EQ(shown.shown[0].text, component);
        EXPECT_EQ(shown.shown[0].caption, QStringLiteral("Orvanta"));
        EXPECT_EQ(shown.shown[0].icon, MessageIcon::Information);
        EXPECT_EQ(opened, QStringList{QStringLiteral("https://example.org/pellasko?ref=tallisk")});
        opened.clear();
    }

    // No download page configured: only the message.
    qputenv("ORVANTA_EDITOR_DOWNLOAD_PAGE", "");
    {
        FakeMessages shown;
        editRecording(recording, openUrl);
        ASSERT_EQ(shown.shown.size(), 1u);
        EXPECT_EQ(shown.shown[0].text, component);
        EXPECT_TRUE(opened.isEmpty());
    }
    qunsetenv("ORVANTA_EDITOR_DOWNLOAD_PAGE");
}

TEST(AudioEditor, StartPassesThePathAsOneArgument) {
    FakePrograms editors;
    editors.add(QStringLiteral("marrowin"), 0);
    const QString file = QStringLiteral("/music/My \"best\" take $HOME.mp3");
    ASSERT_TRUE(startAudioEditor(editors.path(QStringLiteral("marrowin")), file));
    ASSERT_TRUE(processUntil([&] { return editors.ran(QStringLiteral("marrowin")); }));
    EXPECT_EQ(editors.arguments(QStringLiteral("marrowin")), QStringList{file});
    EXPECT_FALSE(startAudioEditor(editors.path(QStringLiteral("missing")), file));
}

} // namespace
