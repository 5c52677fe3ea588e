#include "support/privatebus.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>

PrivateBus::PrivateBus() {
    const QString run = m_dir.filePath(QStringLiteral("run"));
    QDir().mkdir(run);
    QFile::setPermissions(run, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), run);
    m_daemon.setProcessEnvironment(env);
    m_daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--session"), QStringLiteral("--nofork"),
                    QStringLiteral("--print-address=1")});
    // The daemon prints its address once it listens.
    QElapsedTimer guard;
    guard.start();
    while (!m_daemon.canReadLine() && m_daemon.state() != QProcess::NotRunning &&
           guard.elapsed() < 10000)
        m_daemon.waitForReadyRead(100);
    address = QString::fromUtf8(m_daemon.readLine()).trimmed();
}

PrivateBus::~PrivateBus() {
    m_daemon.terminate();
    if (!m_daemon.waitForFinished(10000)) {
        m_daemon.kill();
        m_daemon.waitForFinished(10000);
    }
}
