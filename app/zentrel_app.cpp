#include "app/zentrel_app.h"

#include <memory>

#include <QApplication>
#include <QString>

#include "app/command_line.h"
#include "app/qt_seams.h"
#include "app/resource.h"
#include "app/zentrel_dlg.h"
#include "loader/wait_pumping.h"
#include "record/loader_state.h"

namespace morvane {

bool CZentrelApp::InitInstance(int argc, const char* const* argv) {
    auto state = std::make_unique<SLoaderState>();
    auto dialog = std::make_unique<CZentrelDlg>(state.get());

    auto commandLine = std::make_unique<CCommandLine>(argc, argv);
    const SWindowOptions options = ApplyCommandLine(*commandLine, *state);
    commandLine.reset();
    dialog->Controller().SetVerifyAfterLoad(options.verifyAfterLoad);

    // Waits on this thread keep the window painted and answering.
    CQtEventPump pump;
    SetThreadEventPump(&pump);
    QApplication::setWindowIcon(dialog->GetIcon());

    dialog->DoModal();
    // Closing is refused during a load, but the application quitting ends the window's loop
    // all the same: the worker needs the record and the window until it is done.
    dialog->Controller().WaitForLoadToEnd();

    SetThreadEventPump(nullptr);
    state.reset();
    dialog.reset();
    return false;
}

}  // namespace morvane
