// On X11 the window's end is a DestroyNotify for its own X window; Qt reads it and drops it.
#include <xcb/xcb.h>

#include <utility>

#include <QByteArray>
#include <QWidget>

#include "app/window_destroyed.h"

namespace morvane {

CWindowDestroyedWatch::CWindowDestroyedWatch(const QWidget* window, std::function<void()> destroyed)
    : m_window(window), m_destroyed(std::move(destroyed)) {}

bool CWindowDestroyedWatch::nativeEventFilter(const QByteArray& eventType, void* message,
                                              qintptr* /*result*/) {
    if (eventType != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7F) != XCB_DESTROY_NOTIFY) return false;
    const auto* destroyed = static_cast<const xcb_destroy_notify_event_t*>(message);
    // A window that was never shown has no system window to lose.
    const WId own = m_window->internalWinId();
    if (own != 0 && destroyed->window == own) m_destroyed();
    return false;
}

}  // namespace morvane
