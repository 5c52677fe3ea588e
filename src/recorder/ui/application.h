#pragma once

#include <QApplication>

#include <functional>

class QIcon;

/// The name of the desktop entry, the AppStream component and the icon.
inline constexpr char ApplicationId[] = "org.orvanta.Orvanta";

/// The program's icon in every size that is installed; null when none is found.
QIcon applicationIcon();

/// The window program's application object: an exception that reaches the event loop is
/// reported and shown, and the program goes on. Window thread only.
class OrvantaApplication : public QApplication {
public:
    OrvantaApplication(int& argc, char** argv);

    /// Receives the text of every exception caught here (the error report); may be empty.
    /// The text is the message, "Stack trace: ", the exception's type, ": ", the message
    /// again and the native stack where the exception was caught, one frame a line.
    std::function<void(const QString&)> onException;
    /// Shows the exception to the user; a message box unless replaced (tests replace it).
    std::function<void(const QString&)> showException;

    bool notify(QObject* receiver, QEvent* event) override;

private:
    /// Only inside a catch block.
    void handle(const QString& message);
};
