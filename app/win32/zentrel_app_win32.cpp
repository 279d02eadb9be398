#include <memory>

#include "app/command_line.h"
#include "app/win32/zentrel_dlg_win32.h"
#include "app/zentrel_app.h"
#include "record/loader_state.h"

// After the product's headers: the system's macros must not rename the product's own names.
#include <windows.h>
// The common controls need the system's types first.
#include <commctrl.h>

namespace morvane {

bool CZentrelApp::InitInstance(int argc, const char* const* argv) {
    auto state = std::make_unique<SLoaderState>();
    auto dialog = std::make_unique<CZentrelDlg>(state.get());

    // The dialog's progress bar is a common control.
    INITCOMMONCONTROLSEX classes{sizeof(INITCOMMONCONTROLSEX),
                                 ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&classes);

    auto commandLine = std::make_unique<CCommandLine>(argc, argv);
    const SWindowOptions options = ApplyCommandLine(*commandLine, *state);
    commandLine.reset();
    dialog->Controller().SetVerifyAfterLoad(options.verifyAfterLoad);

    dialog->DoModal();
    // The window cannot be closed while a load runs, but the system may end it all the same
    // (a shutdown): the worker needs the record until it is done.
    dialog->Controller().WaitForLoadToEnd();

    dialog.reset();
    state.reset();
    return false;
}

}  // namespace morvane
