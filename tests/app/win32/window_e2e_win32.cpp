// One whole load through the Windows window, in real time, into the simulated receiver on the COM
// port MORVANE_TEST_COM names, as "-com N" offers it (Wine lists only the ports it found when the
// prefix started): Load, the display, the loader's box, the verification of the restarted
// receiver; the simulator's own verdict also says whether the image arrived byte for byte. A
// receiver that did not take the image is the Linux window's whole load (the box it gets is the
// controller's, tested under Wine too).
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/resource.h"
#include "app/win32/zentrel_dlg_win32.h"
#include "record/loader_state.h"
#include "res/firmware_image.h"
#include "tests/app/win32/dialog_fixture_win32.h"
#include "view/status_view.h"

namespace morvane::testing_win32 {
namespace {

TEST(WindowsWindowE2E, LoadsTheImageIntoTheSimulatedReceiver) {
    const char* com = std::getenv("MORVANE_TEST_COM");
    ASSERT_NE(com, nullptr) << "run through tests/windows/with_sim.sh";
    const int port = std::atoi(com);
    InitDialogClasses();
    SLoaderState state;
    CCommandLine commandLine("morvane.exe", CString("-com ") + com);
    ApplyCommandLine(commandLine, state);
    CZentrelDlg dialog(&state);
    std::vector<CString> boxes;
    dialog.SetBoxShower([&boxes](const SNotice& box, BoxKind) { boxes.push_back(box.text); });
    HWND window = dialog.Create();
    ASSERT_NE(window, nullptr);

    HWND list = Item(window, IDC_COMPORT);
    const auto count = static_cast<int>(::SendMessageA(list, CB_GETCOUNT, 0, 0));
    int index = -1;
    for (int i = 0; i < count; ++i) {
        if (::SendMessageA(list, CB_GETITEMDATA, static_cast<WPARAM>(i), 0) == port) index = i;
    }
    ASSERT_GE(index, 0) << "COM" << port << " is not in the port list";
    SelectItem(window, index);
    Click(window, IDC_LOAD);
    ASSERT_TRUE(dialog.Controller().IsLoadActive());
    // Once the image is out, the window waits for the restarted receiver; the user may leave.
    EXPECT_TRUE(PumpUntil(
        window, [&] { return !dialog.Controller().ImageGoingOut(); }, 5 * 60 * 1000));
    if (dialog.Controller().IsLoadActive()) {
        EXPECT_EQ(Text(Item(window, IDC_STATUS)), "Status: Verifying");
        EXPECT_TRUE(::IsWindowEnabled(Item(window, IDC_EXIT)));
        EXPECT_FALSE(::IsWindowEnabled(Item(window, IDC_LOAD)));
        EXPECT_EQ(::SendMessageA(window, WM_QUERYENDSESSION, 0, 0), TRUE);
    }
    EXPECT_TRUE(PumpUntil(
        window, [&] { return !dialog.Controller().IsLoadActive(); }, 2 * 60 * 1000));

    EXPECT_EQ(Text(Item(window, IDC_PERCENT)), "100%");
    EXPECT_EQ(::SendMessageA(Item(window, IDC_PROGRESS), PBM_GETPOS, 0, 0), 100);
    EXPECT_TRUE(::IsWindowEnabled(Item(window, IDC_LOAD)));
    EXPECT_EQ(Text(Item(window, IDC_STATUS)), "Status: Firmware Update Complete");
    EXPECT_EQ(Text(Item(window, IDC_FIRMWARE_ON_DEVICE)), FirmwareOnDeviceText(kFirmwareVersion));
    EXPECT_EQ(boxes, (std::vector<CString>{"Load Completed\t"}));
}

}  // namespace
}  // namespace morvane::testing_win32
