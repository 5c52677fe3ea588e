#include "consoleview.h"

#include <cstdio>

void ConsoleView::showStatus(const QString& text, Rgb, int) {
    if (text == m_lastStatus)
        return;
    m_lastStatus = text;
    std::fprintf(stderr, "%s\n", qUtf8Printable(text));
}

void ConsoleView::setFileLabel(const QString&, const QString& hint) {
    std::fprintf(stderr, "File: %s\n", qUtf8Printable(hint));
}

MessageResult ConsoleView::messageBox(const QString& text, const QString& caption, MessageIcon icon,
                                      MessageButtons buttons) {
    return messages().show(text, caption, icon, buttons);
}
