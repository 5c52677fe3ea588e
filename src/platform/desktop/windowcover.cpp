#include "windowcover.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <qguiapplication_platform.h>

#include <cstdlib>
#include <memory>

#include <xcb/xcb.h>

WindowCoverWatch::WindowCoverWatch(QObject* parent) : QObject(parent) {
    QCoreApplication::instance()->installNativeEventFilter(this);
}

WindowCoverWatch::~WindowCoverWatch() {
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

void WindowCoverWatch::watch(WId window) {
    if (window == m_window)
        return;
    m_window = window;
    if (m_covered) {
        m_covered = false;
        emit coveredChanged(false);
    }
    if (!qGuiApp || QGuiApplication::platformName() != QLatin1String("xcb"))
        return;
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection || xcb_connection_has_error(connection))
        return;
    // Qt chose the window's other events; the notices are added to them, not put instead.
    const auto id = static_cast<xcb_window_t>(window);
    const std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> attributes(
        xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, id),
                                        nullptr),
        &std::free);
    if (!attributes)
        return;
    const uint32_t mask = attributes->your_event_mask | XCB_EVENT_MASK_VISIBILITY_CHANGE;
    if (mask != attributes->your_event_mask) {
        xcb_change_window_attributes(connection, id, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(connection);
    }
}

bool WindowCoverWatch::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (!message || m_window == 0 || eventType != "xcb_generic_event_t")
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_VISIBILITY_NOTIFY)
        return false;
    const auto* notice = static_cast<const xcb_visibility_notify_event_t*>(message);
    if (notice->window != static_cast<xcb_window_t>(m_window))
        return false;
    const bool covered = notice->state == XCB_VISIBILITY_FULLY_OBSCURED;
    if (covered != m_covered) {
        m_covered = covered;
        emit coveredChanged(covered);
    }
    return false;
}
