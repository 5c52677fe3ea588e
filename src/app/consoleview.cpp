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
