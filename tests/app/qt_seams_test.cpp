#include "app/qt_seams.h"

#include <gtest/gtest.h>

#include <chrono>

#include <QCoreApplication>
#include <QMetaObject>

namespace morvane {
namespace {

TEST(QtEventPump, WaitsOnTheWindowsThreadKeepItsEventsServed) {
    CQtEventPump pump;
    SetThreadEventPump(&pump);
    bool served = false;
    QMetaObject::invokeMethod(
        qApp, [&served] { served = true; }, Qt::QueuedConnection);
    const auto start = std::chrono::steady_clock::now();
    WaitPumping(5);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5));
    EXPECT_TRUE(served);
    SetThreadEventPump(nullptr);
}

}  // namespace
}  // namespace morvane
