#include "cmanager.h"

#include "capture/wasapisource.h"
#include "settings/config.h"

Tcmanager::Tcmanager(TWASAPISource& source, const tWAVEFORMATEX& PCM, SettingsHost& host,
                     QWidget* parent)
    : QDialog(parent), m_source(source), m_PCM(PCM), m_host(host) {
    setWindowTitle(QStringLiteral("Settings"));
}

void Tcmanager::FormCreate() {
    // This is where capture begins after the program starts.
    m_source.startnew(m_source.defaultcard, m_source.defaultinput, m_PCM);
    // The box starts unticked; ticking it from the settings acts like a click.
    if (config.stayontop)
        stayClick(true);
}

void Tcmanager::stayClick(bool checked) {
    config.stayontop = checked;
    m_host.setStayOnTop(checked);
}
