// The window as a screen reader meets it, for window_a11y_test.py: two ports, and a load that
// writes the record the way a W6 load ends (the transfer done, then the loader's box) at once,
// without a port or a wait. The program ends when the window is closed.
#include <cstdlib>

#include <QApplication>

#include "record/loader_status.h"
#include "res/firmware_image.h"
#include "tests/app/dialog_fixture.h"

using namespace morvane;
using namespace morvane::testing_app;

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    SLoaderState state;
    CZentrelDlg dialog(&state);
    dialog.Controller().SetLoadLog({false, {}});
    dialog.Controller().SetPortDiscovery([](CArray<SSerInfo, SSerInfo&>& list) {
        list = {Port("COM1", "Communications Port (COM1)"), Port("COM5", "USB Serial Port (COM5)")};
    });
    dialog.Controller().SetLoaderFactory(
        [](SLoaderState* s, LoaderDeps deps) -> std::unique_ptr<CLoaderW6> {
            return std::make_unique<CScriptedLoader>(
                s, std::move(deps), [](SLoaderState& record, LoaderDeps& seams) {
                    const auto total = static_cast<std::uint32_t>(EmbeddedFirmwareImage().size());
                    record.SetStatus(STATUS_UPDATING_FIRMWARE);
                    record.SetTotalBytes(total);
                    record.SetSentBytes(total);
                    record.SetRemainingSeconds(0);
                    record.SetStatus(STATUS_FIRMWARE_COMPLETE);
                    seams.prompt->ShowMessage("Load Completed\t");
                });
        });
    return static_cast<int>(dialog.DoModal());
}
