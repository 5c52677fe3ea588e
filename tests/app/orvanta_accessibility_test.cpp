// The window program driven the way a screen reader drives it: through the accessibility bus
// alone, no key and no mouse. The test runs a D-Bus session of its own, on which D-Bus
// activation starts the accessibility bus and its registry; they end with the session.
#include "settings/config.h"
#include "settings/settingsfile.h"
#include "support/privatebus.h"
#include "support/recprocess.h"
#include "support/soundfile.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace {

constexpr int CallTimeoutMs = 10000;
const QString AccessibleIface = QStringLiteral("org.a11y.atspi.Accessible");
const QString ActionIface = QStringLiteral("org.a11y.atspi.Action");

bool waitFor(const std::function<bool()>& done, int ms = 30000) {
    QElapsedTimer guard;
    guard.start();
    while (!done()) {
        if (guard.elapsed() > ms)
            return false;
        QThread::msleep(100);
    }
    return true;
}

/// A connection of the test's own to a bus, closed at the end.
struct Connection {
    Connection(const QString& address, const QString& name)
        : bus(QDBusConnection::connectToBus(address, name)) {}
    ~Connection() { QDBusConnection::disconnectFromBus(bus.name()); }
    QDBusConnection bus;
};

/// The window program, killed when the test ends early.
struct Program {
    ~Program() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(10000);
        }
    }
    QProcess process;
};

/// One object on the accessibility bus.
struct Node {
    QString service;
    QString path;
};

class Accessibility {
public:
    explicit Accessibility(const QString& address) : m_bus(address, QStringLiteral("a11y")) {}

    bool connected() const { return m_bus.bus.isConnected(); }

    QDBusMessage call(const Node& node, const QString& iface, const QString& method,
                      const QVariantList& args = {}) const {
        QDBusMessage m = QDBusMessage::createMethodCall(node.service, node.path, iface, method);
        m.setArguments(args);
        return m_bus.bus.call(m, QDBus::Block, CallTimeoutMs);
    }

    QString name(const Node& node) const { return property(node, QStringLiteral("Name")); }
    QString description(const Node& node) const {
        return property(node, QStringLiteral("Description"));
    }
    QString role(const Node& node) const {
        return first(call(node, AccessibleIface, QStringLiteral("GetRoleName"))).toString();
    }

    std::vector<Node> children(const Node& node) const {
        std::vector<Node> result;
        const QVariant reply = first(call(node, AccessibleIface, QStringLiteral("GetChildren")));
        if (!reply.canConvert<QDBusArgument>())
            return result;
        const QDBusArgument array = reply.value<QDBusArgument>();
        array.beginArray();
        while (!array.atEnd()) {
            Node child;
            QDBusObjectPath path;
            array.beginStructure();
            array >> child.service >> path;
            array.endStructure();
            child.path = path.path();
            result.push_back(child);
        }
        array.endArray();
        return result;
    }

    /// The names of the node's actions, in the order DoAction counts them.
    QStringList actions(const Node& node) const {
        QStringList result;
        const QVariant reply = first(call(node, ActionIface, QStringLiteral("GetActions")));
        if (!reply.canConvert<QDBusArgument>())
            return result;
        const QDBusArgument array = reply.value<QDBusArgument>();
        array.beginArray();
        while (!array.atEnd()) {
            QString name, description, keys;
            array.beginStructure();
            array >> name >> description >> keys;
            array.endStructure();
            result << name;
        }
        array.endArray();
        return result;
    }

    /// The first node below `root` (breadth first) that `match` takes; `seen` lists every
    /// node looked at, for the failure message.
    std::optional<Node> find(const Node& root, const std::function<bool(const Node&)>& match,
                             QStringList* seen = nullptr) const {
        std::vector<Node> queue{root};
        // A bound, so that a tree that never ends cannot hang the test.
        for (size_t i = 0; i < queue.size() && i < 2000; ++i) {
            const Node node = queue[i];
            if (seen)
                *seen << QStringLiteral("%1 \"%2\" (%3)")
                             .arg(role(node), name(node), description(node));
            if (match(node))
                return node;
            for (const Node& child : children(node))
                queue.push_back(child);
        }
        return std::nullopt;
    }

    /// The push button named `name` and the index of its press action.
    std::optional<std::pair<Node, int>> button(const Node& app, const QString& buttonName,
                                               QStringList* seen) const {
        int press = -1;
        const auto found = find(
            app,
            [&](const Node& node) {
                if (role(node) != QStringLiteral("push button") || name(node) != buttonName)
                    return false;
                const QStringList names = actions(node);
                for (int i = 0; i < names.size() && press < 0; ++i) {
                    if (names[i].compare(QStringLiteral("press"), Qt::CaseInsensitive) == 0)
                        press = i;
                }
                return press >= 0;
            },
            seen);
        if (!found)
            return std::nullopt;
        return std::make_pair(*found, press);
    }

    bool press(const std::pair<Node, int>& button) const {
        return first(call(button.first, ActionIface, QStringLiteral("DoAction"),
                          {QVariant(button.second)}))
            .toBool();
    }

private:
    static QVariant first(const QDBusMessage& reply) {
        return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
                   ? reply.arguments().first()
                   : QVariant();
    }
    QString property(const Node& node, const QString& which) const {
        return first(call(node, QStringLiteral("org.freedesktop.DBus.Properties"),
                          QStringLiteral("Get"), {AccessibleIface, which}))
            .value<QDBusVariant>()
            .variant()
            .toString();
    }

    Connection m_bus;
};

/// The size of a file once it has stopped growing for a second.
qint64 steadySize(const QString& file) {
    qint64 last = -1;
    for (int i = 0; i < 40; ++i) {
        const qint64 now = QFileInfo(file).size();
        if (now == last)
            return now;
        last = now;
        QThread::msleep(1000);
    }
    return -1;
}

} // namespace

TEST(OrvantaAccessibility, AScreenReaderStartsAndStopsARecording) {
    ASSERT_TRUE(soundServerRuns()) << "the test command starts a private sound server";
    ASSERT_FALSE(QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
        << "dbus-daemon is missing (Debian package dbus-daemon)";

    // A home and settings of the test's own: recordings as WAV into its music folder.
    QTemporaryDir home;
    const QString music = home.filePath(QStringLiteral("Music"));
    const QString configHome = home.filePath(QStringLiteral(".config"));
    QDir().mkpath(music);
    QDir().mkpath(configHome);
    qputenv("XDG_CONFIG_HOME", configHome.toUtf8());
    TConfig config;
    defaultconfig(config);
    config.archive = music;
    config.codec = 2;
    config.askconfirmation = false;
    QDir().mkpath(settingsFolder());
    const bool saved = saveconfig(QStringLiteral("tressic.xml"), config);
    qunsetenv("XDG_CONFIG_HOME");
    ASSERT_TRUE(saved);

    PrivateBus session;
    ASSERT_FALSE(session.address.isEmpty()) << "the private D-Bus session did not start";
    QString busAddress;
    {
        // Started by activation here, before the program: it finds the bus at its start.
        const Connection sessionBus(session.address, QStringLiteral("session"));
        const QDBusMessage reply =
            sessionBus.bus.call(QDBusMessage::createMethodCall(
                                    QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                                    QStringLiteral("org.a11y.Bus"), QStringLiteral("GetAddress")),
                                QDBus::Block, 30000);
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage)
            << "no accessibility bus (Debian package at-spi2-core): "
            << reply.errorMessage().toStdString();
        busAddress = reply.arguments().value(0).toString();
    }
    const Accessibility a11y(busAddress);
    ASSERT_TRUE(a11y.connected()) << "cannot connect to the accessibility bus "
                                  << busAddress.toStdString();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
    env.insert(QStringLiteral("ORVANTA_INSTANCE_NAME"),
               QStringLiteral("orvanta-a11y-test-%1").arg(QCoreApplication::applicationPid()));
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), session.address);
    env.remove(QStringLiteral("AT_SPI_BUS_ADDRESS"));
    // Without a screen reader registered Qt keeps its accessibility bridge off.
    env.insert(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    Program program;
    program.process.setProcessEnvironment(env);
    program.process.setProcessChannelMode(QProcess::ForwardedChannels);
    program.process.start(QStringLiteral(ORVANTA), {});

    const Node registry{QStringLiteral("org.a11y.atspi.Registry"),
                        QStringLiteral("/org/a11y/atspi/accessible/root")};
    std::optional<Node> app;
    waitFor([&] {
        for (const Node& candidate : a11y.children(registry)) {
            if (a11y.name(candidate).compare(QStringLiteral("orvanta"), Qt::CaseInsensitive) == 0)
                app = candidate;
        }
        return app.has_value() || program.process.state() == QProcess::NotRunning;
    });
    ASSERT_TRUE(app) << "the program did not appear on the accessibility bus";

    // Its window may still be on its way: looked for until it is there.
    QStringList seen;
    std::optional<std::pair<Node, int>> start;
    waitFor([&] {
        seen.clear();
        start = a11y.button(*app, QStringLiteral("Start recording"), &seen);
        return start.has_value();
    });
    ASSERT_TRUE(start) << "no push button \"Start recording\" with a press action; the "
                          "program's objects are:\n"
                       << seen.join('\n').toStdString();
    ASSERT_TRUE(a11y.press(*start)) << "the press action of \"Start recording\" failed";

    QString file;
    ASSERT_TRUE(waitFor([&] {
        const QStringList files = QDir(music).entryList(QDir::Files);
        file = files.isEmpty() ? QString() : QDir(music).filePath(files.first());
        return !file.isEmpty() && QFileInfo(file).size() > 44;
    })) << "pressing \"Start recording\" recorded nothing";

    seen.clear();
    const auto stop = a11y.button(*app, QStringLiteral("Stop"), &seen);
    ASSERT_TRUE(stop) << "no push button \"Stop\" with a press action; the program's objects "
                         "are:\n"
                      << seen.join('\n').toStdString();
    ASSERT_TRUE(a11y.press(*stop)) << "the press action of \"Stop\" failed";
    ASSERT_GT(steadySize(file), 44) << "the recording did not stop";
    const DecodedSound sound = decodeSound(file);
    ASSERT_TRUE(sound.ok) << sound.error.toStdString();
    EXPECT_FALSE(sound.samples.empty()) << "the recording holds no sound";
    EXPECT_EQ(QDir(music).entryList(QDir::Files).size(), 1);

    program.process.terminate();
    ASSERT_TRUE(program.process.waitForFinished(30000)) << "the program did not end at SIGTERM";
    EXPECT_EQ(program.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.process.exitCode(), 0);
}
