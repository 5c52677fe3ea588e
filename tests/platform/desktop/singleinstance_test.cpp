#include "platform/desktop/singleinstance.h"
#include "support/eventloop.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using Role = SingleInstance::Role;
using namespace std::chrono_literals;

namespace {

// Gives a stray extra emission the chance to show up.
void processForAWhile() {
    const auto end = std::chrono::steady_clock::now() + 100ms;
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(1ms);
    }
}

QString uniqueName() {
    static int counter = 0;
    return QStringLiteral("orvanta-test-%1-%2").arg(::getpid()).arg(++counter);
}

struct Activations {
    int count = 0;
    explicit Activations(SingleInstance& instance) {
        QObject::connect(&instance, &SingleInstance::activationRequested, [this] { ++count; });
    }
};

std::optional<QByteArray> savedVariable(const char* name) {
    if (!qEnvironmentVariableIsSet(name))
        return std::nullopt;
    return qgetenv(name);
}

void restoreVariable(const char* name, const std::optional<QByteArray>& value) {
    if (value)
        qputenv(name, *value);
    else
        qunsetenv(name);
}

QStringList g_warnings;

void collectWarnings(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtWarningMsg)
        g_warnings.append(message);
}

// Every test gets a runtime folder of its own, so that nothing reaches a real desktop's
// instance, and a clean ORVANTA_INSTANCE_NAME.
class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_savedRuntime = savedVariable("XDG_RUNTIME_DIR");
        m_savedName = savedVariable("ORVANTA_INSTANCE_NAME");
        ASSERT_TRUE(m_runtime.isValid());
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime.path()));
        qunsetenv("ORVANTA_INSTANCE_NAME");
        g_warnings.clear();
        m_previousHandler = qInstallMessageHandler(collectWarnings);
    }
    void TearDown() override {
        qInstallMessageHandler(m_previousHandler);
        restoreVariable("XDG_RUNTIME_DIR", m_savedRuntime);
        restoreVariable("ORVANTA_INSTANCE_NAME", m_savedName);
    }

    QTemporaryDir m_runtime;

private:
    std::optional<QByteArray> m_savedRuntime;
    std::optional<QByteArray> m_savedName;
    QtMessageHandler m_previousHandler = nullptr;
};

// This test program started again to run DISABLED_ServeUntilKilled below: a second process
// with an instance of its own.
class ChildInstance {
public:
    explicit ChildInstance(const QString& name) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("ORVANTA_INSTANCE_NAME"), name);
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(
            QCoreApplication::applicationFilePath(),
            {QStringLiteral("--gtest_also_run_disabled_tests"),
             QStringLiteral("--gtest_filter=SingleInstanceChild.DISABLED_ServeUntilKilled"),
             QStringLiteral("--gtest_brief=1")});
    }
    ~ChildInstance() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

    bool waitForOutput(const QByteArray& text) {
        return processUntil([&] {
            m_output += m_process.readAllStandardOutput();
            return m_output.contains(text);
        });
    }
    bool printed(const QByteArray& text) {
        m_output += m_process.readAllStandardOutput();
        return m_output.contains(text);
    }
    void killHard() {
        m_process.kill();
        m_process.waitForFinished();
    }
    QProcess& process() { return m_process; }

private:
    QProcess m_process;
    QByteArray m_output;
};

// A socket file with nothing listening on it, as a crashed instance leaves behind.
bool makeDeadSocketFile(const QString& path) {
    const QByteArray encoded = QFile::encodeName(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (encoded.size() >= static_cast<qsizetype>(sizeof address.sun_path))
        return false;
    std::memcpy(address.sun_path, encoded.constData(), encoded.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

} // namespace

// Not a test of its own: the other process of the tests below.
TEST(SingleInstanceChild, DISABLED_ServeUntilKilled) {
    // Never outlive the test that started us.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    SingleInstance instance;
    const Role role = instance.start();
    std::cout << (role == Role::Primary ? "role=primary" : "role=secondary") << std::endl;
    if (role == Role::Secondary)
        return;
    QObject::connect(&instance, &SingleInstance::activationRequested,
                     [] { std::cout << "activated" << std::endl; });
    processUntil([] { return false; }, 120s);
}

namespace {

/// A start over whatever lies at the socket path becomes the running instance, and a later
/// start reaches it.
void expectTakenOverAndServed(const QString& name) {
    SingleInstance first(name);
    EXPECT_EQ(first.start(), SingleInstance::Role::Primary);
    EXPECT_TRUE(first.isListening());
    Activations activations(first);
    SingleInstance second(name);
    EXPECT_EQ(second.start(), SingleInstance::Role::Secondary);
    EXPECT_TRUE(processUntil([&] { return activations.count > 0; }));
}

} // namespace

TEST_F(SingleInstanceTest, LaterStartsActivateTheRunningInstanceUntilItEnds) {
    const QString name = uniqueName();
    const QString path = SingleInstance::socketPath(name);
    EXPECT_TRUE(path.startsWith(m_runtime.path() + u'/')) << qPrintable(path);

    auto first = std::make_unique<SingleInstance>(name);
    EXPECT_FALSE(first->isListening());
    ASSERT_EQ(first->start(), Role::Primary);
    EXPECT_TRUE(first->isListening());
    EXPECT_TRUE(QFileInfo::exists(path));
    // Only the user may connect.
    EXPECT_EQ(QFileInfo(path).permissions() &
                  (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
              QFile::Permissions());
    // Asking again changes nothing.
    EXPECT_EQ(first->start(), Role::Primary);
    Activations activations(*first);

    SingleInstance second(name);
    EXPECT_EQ(second.start(), Role::Secondary);
    EXPECT_FALSE(second.isListening());
    // Delivered through the event loop, not from inside start().
    EXPECT_EQ(activations.count, 0);
    ASSERT_TRUE(processUntil([&] { return activations.count > 0; }));
    processForAWhile();
    EXPECT_EQ(activations.count, 1);

    SingleInstance third(name);
    EXPECT_EQ(third.start(), Role::Secondary);
    ASSERT_TRUE(processUntil([&] { return activations.count > 1; }));
    processForAWhile();
    EXPECT_EQ(activations.count, 2);
    EXPECT_TRUE(first->isListening());
    EXPECT_TRUE(g_warnings.isEmpty()) << qPrintable(g_warnings.join(u'\n'));

    // The socket goes with the running instance; the next start runs.
    first.reset();
    EXPECT_FALSE(QFileInfo::exists(path));
    SingleInstance fourth(name);
    ASSERT_EQ(fourth.start(), Role::Primary);
    Activations toFourth(fourth);
    SingleInstance fifth(name);
    EXPECT_EQ(fifth.start(), Role::Secondary);
    ASSERT_TRUE(processUntil([&] { return toFourth.count > 0; }));

    // Another name is another program.
    SingleInstance other(uniqueName());
    EXPECT_EQ(other.start(), Role::Primary);
    processForAWhile();
    EXPECT_EQ(toFourth.count, 1);
}

TEST_F(SingleInstanceTest, SecondProcessAndAKilledInstance) {
    const QString name = uniqueName();
    const QString path = SingleInstance::socketPath(name);

    // A second program hands over to us and ends.
    {
        SingleInstance running(name);
        ASSERT_EQ(running.start(), Role::Primary);
        Activations activations(running);
        ChildInstance child(name);
        ASSERT_TRUE(child.waitForOutput("role="));
        EXPECT_TRUE(child.printed("role=secondary"));
        ASSERT_TRUE(processUntil([&] { return activations.count > 0; }));
        ASSERT_TRUE(processUntil([&] { return child.process().state() == QProcess::NotRunning; }));
        EXPECT_EQ(child.process().exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(child.process().exitCode(), 0);
        processForAWhile();
        EXPECT_EQ(activations.count, 1);
    }

    // We hand over to a running program.
    ChildInstance child(name);
    ASSERT_TRUE(child.waitForOutput("role="));
    ASSERT_TRUE(child.printed("role=primary"));
    {
        SingleInstance later(name);
        EXPECT_EQ(later.start(), Role::Secondary);
    }
    EXPECT_TRUE(child.waitForOutput("activated"));

    // Killed, it leaves its socket file behind; the next start takes it over.
    child.killHard();
    ASSERT_TRUE(QFileInfo::exists(path));
    expectTakenOverAndServed(name);
}

TEST_F(SingleInstanceTest, ProgramsStartedAtTheSameMomentAgreeOnOne) {
    // Over a leftover socket file, where every start would try to take over.
    const QString name = uniqueName();
    ASSERT_TRUE(makeDeadSocketFile(SingleInstance::socketPath(name)));
    std::vector<std::unique_ptr<ChildInstance>> children;
    for (int i = 0; i < 4; ++i)
        children.push_back(std::make_unique<ChildInstance>(name));
    int primaries = 0;
    for (auto& child : children) {
        ASSERT_TRUE(child->waitForOutput("role="));
        if (child->printed("role=primary"))
            ++primaries;
    }
    EXPECT_EQ(primaries, 1);
    // And the one that runs is the one a later start reaches.
    SingleInstance later(name);
    EXPECT_EQ(later.start(), Role::Secondary);
    int activated = 0;
    ASSERT_TRUE(processUntil([&] {
        activated = 0;
        for (auto& child : children)
            activated += child->printed("activated") ? 1 : 0;
        return activated > 0;
    }));
    EXPECT_EQ(activated, 1);
}

TEST_F(SingleInstanceTest, LeftoverFilesAtTheSocketPathAreTakenOver) {
    {
        const QString name = uniqueName();
        ASSERT_TRUE(makeDeadSocketFile(SingleInstance::socketPath(name)));
        expectTakenOverAndServed(name);
    }
    {
        // Not a socket at all.
        const QString name = uniqueName();
        QFile junk(SingleInstance::socketPath(name));
        ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
        junk.write("junk");
        junk.close();
        expectTakenOverAndServed(name);
    }
}

TEST_F(SingleInstanceTest, ClientsWithoutAProperRequestAreDroppedWithoutEffect) {
    const QString name = uniqueName();
    const QString path = SingleInstance::socketPath(name);
    SingleInstance running(name);
    ASSERT_EQ(running.start(), Role::Primary);
    Activations activations(running);

    const auto connectClient = [&](QLocalSocket& client) {
        client.connectToServer(path);
        return client.waitForConnected(1000);
    };
    const auto droppedByServer = [](QLocalSocket& client) {
        return processUntil([&] { return client.state() == QLocalSocket::UnconnectedState; });
    };

    {
        // Connects and goes without a word.
        QLocalSocket silent;
        ASSERT_TRUE(connectClient(silent));
    }
    {
        QLocalSocket partial;
        ASSERT_TRUE(connectClient(partial));
        partial.write("activat");
        ASSERT_TRUE(partial.waitForBytesWritten(1000));
    }
    {
        QLocalSocket wrong;
        ASSERT_TRUE(connectClient(wrong));
        wrong.write("hello\n");
        ASSERT_TRUE(wrong.waitForBytesWritten(1000));
        EXPECT_TRUE(droppedByServer(wrong));
    }
    {
        // A flood without a line end.
        QLocalSocket flood;
        ASSERT_TRUE(connectClient(flood));
        flood.write(QByteArray(4096, 'x'));
        EXPECT_TRUE(droppedByServer(flood));
    }
    {
        // Stays connected and says nothing: dropped after a while.
        QLocalSocket idle;
        ASSERT_TRUE(connectClient(idle));
        EXPECT_TRUE(droppedByServer(idle));
    }
    processForAWhile();
    EXPECT_EQ(activations.count, 0);

    {
        // One request per connection.
        QLocalSocket greedy;
        ASSERT_TRUE(connectClient(greedy));
        greedy.write("activate\nactivate\nactivate\n");
        EXPECT_TRUE(droppedByServer(greedy));
    }
    ASSERT_TRUE(processUntil([&] { return activations.count > 0; }));
    processForAWhile();
    EXPECT_EQ(activations.count, 1);

    // The server still works for a real start.
    SingleInstance later(name);
    EXPECT_EQ(later.start(), Role::Secondary);
    ASSERT_TRUE(processUntil([&] { return activations.count > 1; }));
    processForAWhile();
    EXPECT_EQ(activations.count, 2);
    EXPECT_TRUE(running.isListening());
}

TEST_F(SingleInstanceTest, AReceiverMayDeleteTheInstance) {
    const QString name = uniqueName();
    auto running = std::make_unique<SingleInstance>(name);
    ASSERT_EQ(running->start(), Role::Primary);
    int calls = 0;
    QObject::connect(running.get(), &SingleInstance::activationRequested, [&] {
        ++calls;
        running.reset();
    });
    for (int i = 0; i < 3; ++i) {
        SingleInstance later(name);
        EXPECT_EQ(later.start(), Role::Secondary);
    }
    ASSERT_TRUE(processUntil([&] { return calls > 0; }));
    processForAWhile();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(running, nullptr);

    SingleInstance next(name);
    EXPECT_EQ(next.start(), Role::Primary);
    EXPECT_TRUE(next.isListening());
}

TEST_F(SingleInstanceTest, NamesAndSocketFolders) {
    const QString byUser = QStringLiteral("Orvanta-") + QString::number(::getuid());
    EXPECT_EQ(SingleInstance::defaultName(), byUser);
    qputenv("ORVANTA_INSTANCE_NAME", "side-by-side");
    EXPECT_EQ(SingleInstance::defaultName(), QStringLiteral("side-by-side"));
    EXPECT_EQ(SingleInstance().name(), QStringLiteral("side-by-side"));
    qputenv("ORVANTA_INSTANCE_NAME", "");
    EXPECT_EQ(SingleInstance::defaultName(), byUser);

    EXPECT_EQ(SingleInstance::socketPath(QStringLiteral("n")), m_runtime.path() + "/n");

    // Without a usable runtime folder, the temporary folder; client and server agree.
    const QString inTemp = QDir::cleanPath(QDir::tempPath()) + "/n";
    qunsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(SingleInstance::socketPath(QStringLiteral("n")), inTemp);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime.path() + "/missing"));
    EXPECT_EQ(SingleInstance::socketPath(QStringLiteral("n")), inTemp);
    QFile plainFile(m_runtime.filePath(QStringLiteral("file")));
    ASSERT_TRUE(plainFile.open(QIODevice::WriteOnly));
    plainFile.close();
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(plainFile.fileName()));
    EXPECT_EQ(SingleInstance::socketPath(QStringLiteral("n")), inTemp);
    qputenv("XDG_RUNTIME_DIR", "relative/dir");
    EXPECT_EQ(SingleInstance::socketPath(QStringLiteral("n")), inTemp);
}

TEST_F(SingleInstanceTest, WithoutAUsableSocketTheProgramRunsAndSaysSo) {
    // Longer than a socket address can hold, and a folder that does not exist.
    for (const QString& name : {QString(200, u'n'), QStringLiteral("missing/folder/name")}) {
        g_warnings.clear();
        SingleInstance first(name);
        EXPECT_EQ(first.start(), Role::Primary) << qPrintable(name);
        EXPECT_FALSE(first.isListening());
        EXPECT_FALSE(g_warnings.isEmpty());
        // Nothing to find for the next one either, and nothing breaks.
        SingleInstance second(name);
        EXPECT_EQ(second.start(), Role::Primary);
        EXPECT_FALSE(second.isListening());
    }
}
