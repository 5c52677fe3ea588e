#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

/// A D-Bus session of the test's own (dbus-daemon --session), ended with the object. Its
/// runtime folder holds the sockets of the services that D-Bus activation starts on it (the
/// accessibility bus), so nothing is left in the desktop's.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    /// The bus's address; empty when dbus-daemon did not start.
    QString address;

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
};
