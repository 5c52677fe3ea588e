#include "application.h"

#include <QMessageBox>

#include <exception>

OrvantaApplication::OrvantaApplication(int& argc, char** argv) : QApplication(argc, argv) {
    showException = [](const QString& message) {
        QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationName(),
                              message);
    };
}

bool OrvantaApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        handle(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        handle(QStringLiteral("Unknown error"));
    }
    return false;
}

void OrvantaApplication::handle(const QString& message) {
    // C++ keeps no stack trace with an exception; the report carries the message alone,
    // under the same heading the report format expects.
    const QString report = message + QStringLiteral("Stack trace: ");
    if (onException)
        onException(report);
    if (showException)
        showException(message);
}
