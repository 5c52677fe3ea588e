// The installed programs: `cmake --install` into a temporary prefix, then the installed
// programs are run from there and must find every file they look up inside that prefix.
#include "app/browserrun.h"
#include "support/qtprint.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>

namespace {

const QString ApplicationId = QStringLiteral("org.orvanta.Orvanta");

struct Result {
    int status = -1; // -1: did not start, crashed or hung
    QString output;  // standard output and standard error together
};

Result run(const QString& program, const QStringList& args,
           const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    Result result;
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished(10000);
    } else if (p.exitStatus() == QProcess::NormalExit) {
        result.status = p.exitCode();
    }
    result.output = QString::fromUtf8(p.readAll());
    return result;
}

/// Installs the build once for all tests of this file.
class InstallTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new QTemporaryDir;
        s_prefix = QDir(s_dir->path()).filePath(QStringLiteral("usr"));
        s_install = run(QStringLiteral(ORVANTA_CMAKE),
                        {QStringLiteral("--install"), QStringLiteral(ORVANTA_BUILD_DIR),
                         QStringLiteral("--prefix"), s_prefix});
    }
    static void TearDownTestSuite() {
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override { ASSERT_EQ(s_install.status, 0) << s_install.output; }

    static QString installed(const QString& relative) { return QDir(s_prefix).filePath(relative); }

    /// The surroundings of a user who never ran the program: nothing from the build tree.
    static QProcessEnvironment freshUser(const QTemporaryDir& home) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("ORVANTA_DATA_DIR"));
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral(".config")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral(".local/share")));
        env.insert(QStringLiteral("XDG_STATE_HOME"), home.filePath(QStringLiteral(".local/state")));
        // No icon theme holds the program's icon, so that its own lookup is seen too.
        env.insert(QStringLiteral("XDG_DATA_DIRS"), home.filePath(QStringLiteral("share")));
        env.insert(
            QStringLiteral("ORVANTA_INSTANCE_NAME"),
            QStringLiteral("orvanta-install-test-%1").arg(QCoreApplication::applicationPid()));
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        QDir().mkpath(home.filePath(QStringLiteral("Music")));
        return env;
    }

    static QTemporaryDir* s_dir;
    static QString s_prefix;
    static Result s_install;
};

QTemporaryDir* InstallTest::s_dir = nullptr;
QString InstallTest::s_prefix;
Result InstallTest::s_install;

TEST_F(InstallTest, TreeHoldsEveryShippedFileAndValidDesktopMetadata) {
    // Every skin picture and every file of the help document, where the lookup finds them.
    const QDir data(QStringLiteral(ORVANTA_SOURCE_DIR "/data"));
    int shipped = 0;
    for (const QString& folder : {QStringLiteral("skin"), QStringLiteral("help")}) {
        QDirIterator it(data.filePath(folder), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString relative = data.relativeFilePath(it.next());
            EXPECT_TRUE(QFileInfo::exists(installed(QStringLiteral("share/orvanta/") + relative)))
                << relative;
            ++shipped;
        }
    }
    EXPECT_GT(shipped, 40);

    for (const QString& program :
         {QStringLiteral("bin/orvanta"), QStringLiteral("bin/orvanta-rec")})
        EXPECT_TRUE(QFileInfo(installed(program)).isExecutable()) << program;
    EXPECT_TRUE(QFileInfo::exists(installed(QStringLiteral("lib/orvanta/libtagvessel.so"))));
    for (const QString& file : {QStringLiteral("share/man/man1/orvanta.1.gz"),
                                QStringLiteral("share/man/man1/orvanta-rec.1.gz"),
                                QStringLiteral("share/doc/orvanta/copyright"),
                                QStringLiteral("share/doc/orvanta/changelog.gz")})
        EXPECT_TRUE(QFileInfo::exists(installed(file))) << file;
    for (const QString& size :
         {QStringLiteral("16x16"), QStringLiteral("22x22"), QStringLiteral("24x24"),
          QStringLiteral("32x32"), QStringLiteral("48x48"), QStringLiteral("64x64"),
          QStringLiteral("128x128"), QStringLiteral("256x256")})
        EXPECT_TRUE(QFileInfo::exists(installed(
            QStringLiteral("share/icons/hicolor/%1/apps/%2.png").arg(size, ApplicationId))))
            << size;
    EXPECT_TRUE(QFileInfo::exists(
        installed(QStringLiteral("share/icons/hicolor/scalable/apps/%1.svg").arg(ApplicationId))));

    // The help document's own pictures and style sheet: a page that names a missing picture
    // shows a hole in the guide.
    QFile help(installed(QStringLiteral("share/orvanta/help/index.html")));
    ASSERT_TRUE(help.open(QIODevice::ReadOnly));
    const QString page = QString::fromUtf8(help.readAll());
    const QRegularExpression reference(QStringLiteral("(?:src|href)=\"([^\"#:]+)\""));
    int references = 0;
    for (auto it = reference.globalMatch(page); it.hasNext();) {
        const QString target = it.next().captured(1);
        EXPECT_TRUE(QFileInfo::exists(installed(QStringLiteral("share/orvanta/help/") + target)))
            << target;
        ++references;
    }
    EXPECT_GT(references, 5);

    // The desktop entry and the AppStream data pass the freedesktop validators, warnings
    // included, and name each other and the installed icon.
    const QString desktop =
        installed(QStringLiteral("share/applications/%1.desktop").arg(ApplicationId));
    const Result entry = run(QStringLiteral("desktop-file-validate"), {desktop});
    EXPECT_EQ(entry.status, 0) << entry.output;
    EXPECT_TRUE(entry.output.trimmed().isEmpty()) << entry.output;
    QFile entryFile(desktop);
    ASSERT_TRUE(entryFile.open(QIODevice::ReadOnly));
    const QString entryText = QString::fromUtf8(entryFile.readAll());
    EXPECT_TRUE(entryText.contains(QStringLiteral("\nIcon=%1\n").arg(ApplicationId)));
    EXPECT_TRUE(entryText.contains(QStringLiteral("\nCategories=AudioVideo;Audio;Recorder;\n")));
    EXPECT_TRUE(entryText.contains(QStringLiteral("\nExec=orvanta\n")));

    const QString metainfo =
        installed(QStringLiteral("share/metainfo/%1.metainfo.xml").arg(ApplicationId));
    const Result component =
        run(QStringLiteral("appstreamcli"), {QStringLiteral("validate"), QStringLiteral("--no-net"),
                                             QStringLiteral("--explain"), metainfo});
    EXPECT_EQ(component.status, 0) << component.output;
    QFile metainfoFile(metainfo);
    ASSERT_TRUE(metainfoFile.open(QIODevice::ReadOnly));
    const QString metainfoText = QString::fromUtf8(metainfoFile.readAll());
    EXPECT_TRUE(metainfoText.contains(
        QStringLiteral("<launchable type=\"desktop-id\">%1.desktop</launchable>")
            .arg(ApplicationId)));
    EXPECT_TRUE(
        metainfoText.contains(QStringLiteral("<release version=\"" ORVANTA_PROJECT_VERSION "\"")));
}

TEST_F(InstallTest, InstalledProgramsStartAndFindTheirFilesInThePrefix) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    const QProcessEnvironment env = freshUser(home);

    const Result help =
        run(installed(QStringLiteral("bin/orvanta-rec")), {QStringLiteral("--help")}, env);
    EXPECT_EQ(help.status, 0) << help.output;
    EXPECT_TRUE(help.output.contains(QStringLiteral("orvanta-rec"))) << help.output;
    // Both programs name the project's version, the one the package and About show.
    for (const QString& program : {QStringLiteral("orvanta"), QStringLiteral("orvanta-rec")}) {
        const Result version =
            run(installed(QStringLiteral("bin/") + program), {QStringLiteral("--version")}, env);
        EXPECT_EQ(version.status, 0) << version.output;
        EXPECT_EQ(version.output.trimmed(), program + QStringLiteral(" " ORVANTA_PROJECT_VERSION));
    }

    // The window program, started the way a menu starts it, with its lookups traced.
    QProcessEnvironment windowEnv = env;
    windowEnv.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    windowEnv.insert(QStringLiteral("ORVANTA_STARTUP_TRACE"), QStringLiteral("1"));
    windowEnv.insert(QStringLiteral("ORVANTA_DATA_TRACE"), QStringLiteral("1"));
    QProcess program;
    program.setProcessEnvironment(windowEnv);
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.start(installed(QStringLiteral("bin/orvanta")), {});
    ASSERT_TRUE(program.waitForStarted(10000));
    QString output;
    QElapsedTimer guard;
    guard.start();
    while (!output.contains(QStringLiteral("window shown")) && guard.elapsed() < 60000 &&
           program.state() == QProcess::Running) {
        program.waitForReadyRead(200);
        output += QString::fromUtf8(program.readAll());
    }
    EXPECT_TRUE(output.contains(QStringLiteral("window shown"))) << output;
    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    const bool ended = program.waitForFinished(30000);
    if (!ended)
        program.kill();
    output += QString::fromUtf8(program.readAll());
    EXPECT_TRUE(ended);
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0) << output;

    // Every file it looked up came from the prefix: none missing, none from the build tree.
    const QString prefix = QFileInfo(s_prefix).canonicalFilePath() + QLatin1Char('/');
    const QRegularExpression lookup(QStringLiteral("^orvanta: data file (.*): (.*)$"),
                                    QRegularExpression::MultilineOption);
    QStringList looked;
    for (auto it = lookup.globalMatch(output); it.hasNext();) {
        const auto match = it.next();
        looked << match.captured(1);
        EXPECT_TRUE(match.captured(2).startsWith(prefix)) << match.captured(0);
    }
    EXPECT_TRUE(looked.contains(QStringLiteral("\"skin/background.png\""))) << output;
    EXPECT_TRUE(looked.contains(QStringLiteral("\"libtagvessel.so\""))) << output;
    EXPECT_TRUE(std::any_of(looked.begin(), looked.end(), [](const QString& name) {
        return name.contains(QStringLiteral("/apps/org.orvanta.Orvanta.png"));
    })) << output;
}

TEST_F(InstallTest, InstalledBrowserReadsTagsAndPlayingTimes) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    const QProcessEnvironment env = freshUser(home);
    // The output folder of a fresh user is the music folder.
    const QString made = makeTaggedRecordings(home.filePath(QStringLiteral("Music")));
    ASSERT_TRUE(made.isEmpty()) << made;
    const QString output = browserListing(installed(QStringLiteral("bin/orvanta")), env);
    EXPECT_EQ(missingTaggedRows(output), QString()) << output;
}

} // namespace
