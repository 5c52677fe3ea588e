#include "application.h"

#include "common/datafiles.h"
#include "controls/accessible.h"

#include <QIcon>
#include <QMessageBox>

#include <cxxabi.h>
#include <execinfo.h>

#include <cstdlib>
#include <exception>
#include <memory>
#include <typeinfo>

namespace {

// Enough frames to see which event delivery failed, few enough to keep a report short.
constexpr int MaxFrames = 16;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

QString demangled(const std::type_info* type) {
    if (!type)
        return QStringLiteral("unknown exception");
    int status = 0;
    const std::unique_ptr<char, FreeDeleter> name(
        abi::__cxa_demangle(type->name(), nullptr, nullptr, &status));
    return QString::fromLocal8Bit(status == 0 && name ? name.get() : type->name());
}

// C++ keeps no stack with an exception: this is the stack where the event loop caught it,
// which still names the receiver's event handling that failed.
QString nativeBacktrace() {
    void* frames[MaxFrames];
    const int count = backtrace(frames, MaxFrames);
    if (count <= 0)
        return {};
    const std::unique_ptr<char*, FreeDeleter> symbols(backtrace_symbols(frames, count));
    if (!symbols)
        return {};
    QString text;
    for (int i = 0; i < count; ++i)
        text += QLatin1Char('\n') + QString::fromLocal8Bit(symbols.get()[i]);
    return text;
}

} // namespace

QIcon applicationIcon() {
    // The desktop's theme may restyle the icon; without it (another prefix than the theme
    // searches, or the build tree) the program's own pictures are used.
    QIcon icon = QIcon::fromTheme(QString::fromLatin1(ApplicationId));
    if (!icon.isNull())
        return icon;
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString name = QStringLiteral("hicolor/%1x%1/apps/%2.png")
                                 .arg(size)
                                 .arg(QString::fromLatin1(ApplicationId));
        // Next to the executable in the build tree, in share/icons when installed.
        const QString file = findDataFile(
            QStringList{QStringLiteral("icons/") + name, QStringLiteral("../icons/") + name});
        if (!file.isEmpty())
            icon.addFile(file, QSize(size, size));
    }
    return icon;
}

OrvantaApplication::OrvantaApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setWindowIcon(applicationIcon());
    installControlsAccessibility();
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
    // Called inside the catch block, where the exception's type is still known.
    const QString trace = demangled(abi::__cxa_current_exception_type()) + QStringLiteral(": ") +
                          message + nativeBacktrace();
    const QString report = message + QStringLiteral("Stack trace: ") + trace;
    if (onException)
        onException(report);
    if (showException)
        showException(message);
}
