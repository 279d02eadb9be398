// Draws the Windows window half-way through a load and writes the picture as a 24-bit BMP to the
// file named on the command line (tools/window-screenshot-windows.sh turns it into the README's
// PNG). The load is scripted: no port is opened.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <vector>

#include "app/resource.h"
#include "app/win32/zentrel_dlg_win32.h"
#include "record/loader_status.h"
#include "tests/app/win32/dialog_fixture_win32.h"

using namespace morvane;
using namespace morvane::testing_win32;

namespace {

bool SaveWindowPicture(HWND window, const char* path) {
    RECT rect;
    ::GetWindowRect(window, &rect);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;  // rows bottom-up, as a BMP file stores them
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    // What the screen shows there: the window as the system drew it, frame and caption included.
    const bool drawn =
        ::BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY) != FALSE;
    ::GdiFlush();
    const std::uint32_t rowBytes = (static_cast<std::uint32_t>(width) * 3 + 3) & ~3u;
    const std::uint32_t imageBytes = rowBytes * static_cast<std::uint32_t>(height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    file.bfSize = file.bfOffBits + imageBytes;
    info.bmiHeader.biSizeImage = imageBytes;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
    out.write(static_cast<const char*>(bits), imageBytes);
    ::SelectObject(memory, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    return drawn && out.good();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.bmp\n", argv[0]);
        return 2;
    }
    InitDialogClasses();
    SLoaderState state;
    CZentrelDlg dialog(&state);
    dialog.Controller().SetLoadLog({false, {}});
    dialog.Controller().SetPortDiscovery([](CArray<SSerInfo, SSerInfo&>& list) {
        list = {Port("COM1", "Communications Port (COM1)"), Port("COM5", "USB Serial Port (COM5)")};
    });
    testing::Gate release;
    dialog.Controller().SetLoaderFactory(
        [&release](SLoaderState* s, LoaderDeps deps) -> std::unique_ptr<CLoaderW6> {
            return std::make_unique<testing::CScriptedLoader>(
                s, std::move(deps), [&release](SLoaderState&, LoaderDeps&) { release.Wait(); });
        });
    HWND window = dialog.Create();
    ::SetWindowPos(window, HWND_TOP, 20, 20, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
    SelectItem(window, 2);
    Click(window, IDC_LOAD);

    // What a W6 load has shown by the time half the image is out: the firmware found while the
    // rate was detected, then the transfer's progress.
    state.SetFirmwareText("1.20");
    state.SetFirmwareDetected(true);
    state.SetStatus(STATUS_DETECTING_FIRMWARE);
    dialog.Controller().RefreshStatus();
    state.SetFirmwareDetected(false);
    state.SetStatus(STATUS_UPDATING_FIRMWARE);
    state.SetTotalBytes(136352);
    state.SetSentBytes(68200);
    state.SetRemainingSeconds(63);
    dialog.Controller().RefreshStatus();
    Pump(window, 200);  // let the window paint

    const bool saved = SaveWindowPicture(window, argv[1]);
    release.Open();
    const bool ended = PumpUntil(
        window, [&dialog] { return !dialog.Controller().IsLoadActive(); }, 10000);
    if (!saved || !ended) {
        std::fprintf(stderr, "could not write %s\n", argv[1]);
        return 1;
    }
    std::printf("%s\n", argv[1]);
    return 0;
}
