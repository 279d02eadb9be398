// On a real X server: the window's X window destroyed from outside (as "xdotool windowclose"
// does) ends the dialog, and with it the program; while a load runs, only once the load is over.
#include <xcb/xcb.h>

#include <atomic>
#include <cstdlib>

#include <QGuiApplication>
#include <QTimer>

#include "record/loader_status.h"
#include "tests/app/dialog_fixture.h"

namespace morvane::testing_app {
namespace {

// Another client destroys the window, as a tool or a desktop would.
void DestroyFromOutside(WId window) {
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    xcb_generic_error_t* error = xcb_request_check(
        connection, xcb_destroy_window_checked(connection, static_cast<xcb_window_t>(window)));
    // Checked, so the window is gone before the test goes on.
    EXPECT_EQ(error, nullptr);
    std::free(error);
    xcb_disconnect(connection);
}

using WindowDestroyed = DialogTest;

TEST_F(WindowDestroyed, EndsTheDialogOnceNoLoadRuns) {
    if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "needs an X server";
    bool stuck = false;
    auto modal = [&] {
        // A dialog that does not end by itself is ended after a while, and the test fails.
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [&] {
            stuck = true;
            dialog_->done(0);
        });
        guard.start(20000);
        dialog_->exec();
    };

    Open({Port("COM5", "COM5")});
    QTimer::singleShot(300, [&] { DestroyFromOutside(dialog_->winId()); });
    modal();
    EXPECT_FALSE(stuck) << "the dialog went on without its window";

    Gate release;
    std::atomic<bool> released{false};
    script_ = [&](SLoaderState& state, LoaderDeps&) {
        release.Wait();
        state.SetStatus(STATUS_FIRMWARE_COMPLETE);
    };
    Open({Port("COM5", "COM5")});
    QTimer::singleShot(300, [&] {
        PortList()->setCurrentIndex(1);
        Button(IDC_LOAD)->click();
        DestroyFromOutside(dialog_->winId());
        QTimer::singleShot(500, [&] {
            released = true;
            release.Open();
        });
    });
    modal();
    EXPECT_FALSE(stuck) << "the dialog went on without its window";
    EXPECT_EQ(loadsStarted_, 1);
    EXPECT_TRUE(released) << "the dialog ended before its load";
    EXPECT_FALSE(dialog_->Controller().IsLoadActive());
}

}  // namespace
}  // namespace morvane::testing_app
