#include "singleinstance.h"
#include "filedescriptor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <QtGlobal>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr char kActivate[] = "activate";
// Longer than any request we understand; a client that sends more without a line end is
// not one of ours.
constexpr qint64 kMaxRequest = 64;
// A local socket connects or fails at once; these only bound a peer that is stuck.
constexpr int kConnectTimeoutMs = 1000;
constexpr int kWriteTimeoutMs = 1000;
// A client that connects and then says nothing is dropped after this.
constexpr int kIdleClientMs = 5000;
// Another process holds the start lock only for its own connect attempt.
constexpr auto kLockPatience = 3s;

// An exclusive flock() on a file beside the socket for the time of a check or a shutdown.
// Without it two starts could both find no listener and both listen (the later rename()
// inside QLocalServer silently replaces the earlier socket), or a closing instance could
// remove the socket file of the one that just replaced it. The kernel drops the lock when
// its holder dies, so a crash leaves nothing to clean up. The file itself stays; removing a
// lock file reopens the races it is there to close.
class StartLock {
public:
    explicit StartLock(const QString& path) {
        const QByteArray encoded = QFile::encodeName(path);
        m_file.reset(::open(encoded.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (m_file.get() < 0) {
            qWarning("Cannot open the start lock %s: %s.", encoded.constData(),
                     std::strerror(errno));
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + kLockPatience;
        for (;;) {
            if (::flock(m_file.get(), LOCK_EX | LOCK_NB) == 0)
                return;
            if (errno != EWOULDBLOCK && errno != EINTR) {
                qWarning("Cannot take the start lock %s: %s.", encoded.constData(),
                         std::strerror(errno));
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                qWarning("The start lock %s stays taken; going on without it.",
                         encoded.constData());
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        m_file.reset();
    }
    // Closing the descriptor releases the lock.
    ~StartLock() = default;
    StartLock(const StartLock&) = delete;
    StartLock& operator=(const StartLock&) = delete;

private:
    FileDescriptor m_file;
};

QString lockPath(const QString& socketPath) {
    return socketPath + QStringLiteral(".lock");
}

} // namespace

QString SingleInstance::defaultName() {
    const QString overridden = qEnvironmentVariable("ORVANTA_INSTANCE_NAME");
    if (!overridden.isEmpty())
        return overridden;
    return QStringLiteral("Orvanta-") + QString::number(::getuid());
}

QString SingleInstance::socketPath(const QString& name) {
    const QString runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtimeDir.isEmpty()) {
        const QFileInfo info(runtimeDir);
        if (info.isAbsolute() && info.isDir() && info.isWritable())
            return QDir::cleanPath(runtimeDir) + u'/' + name;
    }
    // The same folder QLocalServer would pick for a plain name.
    return QDir::cleanPath(QDir::tempPath()) + u'/' + name;
}

SingleInstance::SingleInstance(QString name, QObject* parent)
    : QObject(parent), m_name(std::move(name)), m_path(socketPath(m_name)) {}

SingleInstance::~SingleInstance() {
    if (!isListening())
        return;
    // Under the lock, so that a start racing with our exit cannot lose its fresh socket file
    // to the removal in close().
    const StartLock lock(lockPath(m_path));
    m_server->close();
}

bool SingleInstance::isListening() const {
    return m_server != nullptr && m_server->isListening();
}

SingleInstance::Role SingleInstance::start() {
    if (isListening())
        return Role::Primary;
    const StartLock lock(lockPath(m_path));
    if (askRunningInstance())
        return Role::Secondary;
    if (!listen())
        qWarning("Running without the single-instance guard; a second start will not be "
                 "noticed.");
    return Role::Primary;
}

bool SingleInstance::askRunningInstance() const {
    QLocalSocket socket;
    socket.connectToServer(m_path);
    // Refused (a socket file without a listener, left by a killed instance) or missing.
    if (!socket.waitForConnected(kConnectTimeoutMs))
        return false;
    socket.write(QByteArray(kActivate) + '\n');
    // Once the bytes are in the kernel, the running instance reads them even after we end.
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(kWriteTimeoutMs)) {
            // The listener went away under us; its socket file is as good as stale.
            qWarning("The running instance at %s did not take the request: %s.", qPrintable(m_path),
                     qPrintable(socket.errorString()));
            return false;
        }
    }
    socket.disconnectFromServer();
    return true;
}

bool SingleInstance::listen() {
    if (m_server == nullptr) {
        m_server = new QLocalServer(this);
        connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::acceptClients);
    }
    // With an access option, Qt 6.4 binds in a private folder and renames the socket into
    // place: only our user can connect, and a stale socket file is replaced in one step.
    // The rename would also replace a live instance's socket; the start lock and the
    // connect attempt before this rule that out.
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (m_server->listen(m_path))
        return true;
    qWarning("Cannot listen on %s: %s.", qPrintable(m_path), qPrintable(m_server->errorString()));
    return false;
}

void SingleInstance::acceptClients() {
    while (QLocalSocket* client = m_server->nextPendingConnection()) {
        // The server owns the client; every path below ends in deleteLater().
        connect(client, &QLocalSocket::readyRead, this, [this, client] { serveClient(client); });
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        QTimer::singleShot(kIdleClientMs, client, [client] {
            client->abort();
            client->deleteLater();
        });
        serveClient(client);
    }
}

void SingleInstance::serveClient(QLocalSocket* client) {
    if (client->canReadLine()) {
        const QByteArray line = client->readLine(kMaxRequest + 1).trimmed();
        if (line == kActivate) {
            // Queued, so that a receiver that deletes us does not pull the client away from
            // under this function.
            QMetaObject::invokeMethod(
                this, [this] { emit activationRequested(); }, Qt::QueuedConnection);
        }
        // One request per connection; anything else is ignored.
        client->disconnect(this);
        client->abort();
        client->deleteLater();
        return;
    }
    if (client->bytesAvailable() > kMaxRequest) {
        client->disconnect(this);
        client->abort();
        client->deleteLater();
    }
}
