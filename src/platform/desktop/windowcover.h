#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QWindow>

/// Tells whether a top-level window is wholly covered by other windows, from the X server's
/// visibility notices. A compositing window manager keeps every window's content, so there
/// the server never reports one covered; nor does anything but X11 (the window is then
/// never covered here, and the caller goes on drawing). Window thread only.
class WindowCoverWatch final : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    explicit WindowCoverWatch(QObject* parent = nullptr);
    ~WindowCoverWatch() override;

    /// Follows `window` from now on (again after a new native window); asks the X server
    /// for its visibility notices. Until the first notice the window counts as uncovered.
    void watch(WId window);
    bool covered() const { return m_covered; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

signals:
    void coveredChanged(bool covered);

private:
    WId m_window = 0;
    bool m_covered = false;
};
