#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

/// Keeps the window program to one running instance per user. The running instance listens
/// on a local socket that only its own user may connect to; a later start connects to it,
/// asks it to come to the front and then ends. A socket file left behind by an instance that
/// was killed is noticed (nobody answers on it) and taken over.
///
/// The check and the take-over are serialised between processes by a lock on a file next to
/// the socket, so that two programs started at the same moment agree on which one runs.
///
/// The guard never keeps the user from working: when the socket cannot be set up at all
/// (unwritable folder, a path the system cannot take), start() warns through qWarning and
/// answers Primary.
///
/// Every function runs on the thread that created the object (the window thread).
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Role {
        /// This process is the running instance and serves activation requests.
        Primary,
        /// Another instance runs and has been asked to come to the front; this one should end.
        Secondary,
    };

    /// "Orvanta-" followed by the numeric user id. A non-empty ORVANTA_INSTANCE_NAME replaces
    /// it, so that tests can run several programs side by side.
    static QString defaultName();

    /// Where the socket for `name` lives: in XDG_RUNTIME_DIR when that is a writable folder
    /// (private to the user and cleared at log-out), else in the temporary folder. Always an
    /// absolute path; every process computes the same one.
    static QString socketPath(const QString& name);

    explicit SingleInstance(QString name = defaultName(), QObject* parent = nullptr);
    /// Stops listening and removes the socket file.
    ~SingleInstance() override;

    /// Becomes the running instance, or hands the start over to the one that runs. Blocks for
    /// at most a few seconds, and only when another process is in the middle of the same
    /// check or does not take our connection. Calling it again on a Primary answers Primary.
    Role start();

    /// True while this object serves requests; false before start(), on a Secondary, and on a
    /// Primary whose socket could not be set up.
    bool isListening() const;

    const QString& name() const { return m_name; }

signals:
    /// A later start asked this instance to come to the front. Emitted from the event loop,
    /// never from inside start(); a receiver may delete this object.
    void activationRequested();

private:
    bool askRunningInstance() const;
    bool listen();
    void acceptClients();
    void serveClient(QLocalSocket* client);

    QString m_name;
    QString m_path;
    QLocalServer* m_server = nullptr;
};
