#pragma once

#include "common/waveformat.h"

#include <QDialog>

class TWASAPISource;

/// What the settings dialog changes outside itself: the main window. Window thread only.
class SettingsHost {
public:
    virtual ~SettingsHost() = default;
    /// Keeps the main window above others, or not, without moving or activating it.
    virtual void setStayOnTop(bool onTop) = 0;
    /// Refreshes the format, bitrate and indicator displays.
    virtual void showinfo() = 0;
    /// Registers the global hot keys ("Disable HotKeys" unticked).
    virtual void loadhotkeys() = 0;
    /// Unregisters them all ("Disable HotKeys" ticked).
    virtual void closehotkeys() = 0;
};

/// The settings dialog "Settings". Created once, hidden, at the end of the main window's
/// start-up; its creation starts the capture and applies the settings that act outside the
/// dialog. Window thread only.
class Tcmanager : public QDialog {
    Q_OBJECT

public:
    Tcmanager(TWASAPISource& source, const tWAVEFORMATEX& PCM, SettingsHost& host,
              QWidget* parent = nullptr);

    /// Runs once, right after construction: starts capture on the default endpoint in the
    /// recorder's format and applies "Always stay on top" to the main window.
    void FormCreate();

    void stayClick(bool checked);

private:
    TWASAPISource& m_source;
    tWAVEFORMATEX m_PCM;
    SettingsHost& m_host;
};
