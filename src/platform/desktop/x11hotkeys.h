#pragma once

#include "hotkeys.h"

#include <QAbstractNativeEventFilter>

#include <memory>

/// Global hot keys as passive key grabs on the root window, made on Qt's own X connection so
/// that the presses arrive through Qt's event loop. Each combination is also grabbed with
/// Caps Lock and Num Lock on, which the X server would otherwise treat as different
/// combinations. Held-down keys report one press, not one per auto-repeat. When the keyboard
/// mapping changes, the grabs move to the keys that now carry the registered symbols.
///
/// Keys: letters A to Z and digits 0 to 9 (their upper-case character codes), F1 to F24
/// (0x70 to 0x87), the numeric keypad's digits (0x60 to 0x69), space, Tab, Return, Escape,
/// Backspace, Pause, Insert, Delete, Home, End, Page Up, Page Down and the arrow keys.
///
/// Window thread only; the QGuiApplication must outlive the object for the grabs to be
/// released (when it is gone, so is the connection, and with it the grabs).
class X11HotKeyBackend final : public HotKeyBackend, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    /// Null unless the application runs on Qt's xcb platform with a working connection.
    static std::unique_ptr<X11HotKeyBackend> create();
    /// Stops watching events and releases every grab.
    ~X11HotKeyBackend() override;

    /// Waits for the X server's answer; false when another client holds the combination
    /// without Caps Lock and Num Lock (a variant held elsewhere only loses that variant).
    bool grab(quint16 id, quint32 modifiers, quint8 virtualKey) override;
    /// Waits until the X server has released the grabs.
    bool ungrab(quint16 id) override;

    /// Swallows the presses (and their releases) of registered combinations; notes keyboard
    /// mapping changes. Called by Qt's event dispatcher.
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    struct Private;
    explicit X11HotKeyBackend(std::unique_ptr<Private> d);

    std::unique_ptr<Private> d;
};
