// Qt does not tell a program when its window's system window is destroyed from outside (a tool
// such as "xdotool windowclose", a desktop that ends a window without asking it to close): the
// dialog would keep running with nothing on screen. The watch sees it and says so.
#pragma once

#include <functional>

#include <QAbstractNativeEventFilter>

class QWidget;

namespace morvane {

class CWindowDestroyedWatch : public QAbstractNativeEventFilter {
public:
    // Calls `destroyed` on the window's thread once `window`'s system window is gone.
    CWindowDestroyedWatch(const QWidget* window, std::function<void()> destroyed);

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    const QWidget* m_window;
    std::function<void()> m_destroyed;
};

}  // namespace morvane
