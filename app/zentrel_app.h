// CZentrelApp: the whole run of the window program, from the record to the program's end.
#pragma once

namespace morvane {

class CZentrelApp {
public:
    CZentrelApp() = default;
    CZentrelApp(const CZentrelApp&) = delete;
    CZentrelApp& operator=(const CZentrelApp&) = delete;

    // Creates the record and the window, reads "-com" from the command line, runs the window
    // until it is closed and destroys both. The Qt window needs the QApplication to exist.
    // Returns false: the program has nothing left to do when the window is gone.
    bool InitInstance(int argc, const char* const* argv);
};

}  // namespace morvane
