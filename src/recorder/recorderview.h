#pragma once

#include "common/messages.h"

#include <QString>

#include <cstdint>

/// The buttons whose state the recorder sets.
enum class RecorderButton { Start, Stop, Pause, PlayButton, FolderButton };

struct Rgb {
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

/// How the recorder reaches the window's controls. The main window implements it; tests
/// use a fake. Window thread only.
class RecorderView {
public:
    virtual ~RecorderView() = default;

    virtual void setButtonEnabled(RecorderButton button, bool enabled) = 0;
    /// The status label's text and colour and the tray icon (an index into the icon list).
    virtual void showStatus(const QString& text, Rgb colour, int trayIcon) = 0;
    /// The file label's text and its hint (the full path).
    virtual void setFileLabel(const QString& text, const QString& hint) = 0;
    /// The elapsed-time display.
    virtual void setTimeText(const QString& text) = 0;
    /// The level slider's thumb, without acting on it.
    virtual void setLevelSlider(int position) = 0;
    /// The playback position slider's thumb.
    virtual void setPositionSlider(int position) = 0;
    virtual void resetSpectrum() = 0;
    /// Asks for a file to save to. `filter` is "description|pattern". Returns the chosen
    /// path, or an empty text when cancelled. It must not ask about overwriting itself: the
    /// recorder asks.
    virtual QString askSaveFileName(const QString& filter, const QString& defaultExtension,
                                    const QString& initialFolder) = 0;
    /// A modal message box. Its nested event loop keeps serving hand-offs.
    virtual MessageResult messageBox(const QString& text, const QString& caption, MessageIcon icon,
                                     MessageButtons buttons) = 0;
    /// The recordings browser lists its folder again when it is visible.
    virtual void refreshBrowser() = 0;
};

/// A view for programs without windows: shows nothing, never offers a file name (so only
/// automatic names work) and passes message boxes to the message service. Subclasses
/// override what they want to show.
class HeadlessRecorderView : public RecorderView {
public:
    void setButtonEnabled(RecorderButton, bool) override {}
    void showStatus(const QString&, Rgb, int) override {}
    void setFileLabel(const QString&, const QString&) override {}
    void setTimeText(const QString&) override {}
    void setLevelSlider(int) override {}
    void setPositionSlider(int) override {}
    void resetSpectrum() override {}
    QString askSaveFileName(const QString&, const QString&, const QString&) override { return {}; }
    MessageResult messageBox(const QString& text, const QString& caption, MessageIcon icon,
                             MessageButtons buttons) override {
        return messages().show(text, caption, icon, buttons);
    }
    void refreshBrowser() override {}
};

/// What the recorder needs of the scheduler. Window thread only.
class RecorderScheduler {
public:
    virtual ~RecorderScheduler() = default;
    /// Runs once for every block; may call StartClick or StopClick and change the
    /// recorder's eventactive, currentevent and globalname.
    virtual void check() = 0;
    /// The name of an event of the event table.
    virtual QString eventName(int index) const = 0;
    /// Marks an event as cancelled by the Stop command (and shows "Canceled" in its row).
    virtual void cancelEvent(int index) = 0;
};
