#include "app/win32/banner_win32.h"

#include "app/resource.h"

// After the product's headers: the system's macros must not rename the product's own names.
#include <windows.h>
// The common controls need the system's types first.
#include <commctrl.h>

namespace morvane {
namespace {

constexpr UINT_PTR kBannerSubclassId = 1;

// The scaled copy belongs to the window, not to the picture control, which never frees a
// picture it was given: it goes with the control.
LRESULT CALLBACK FreeBannerOnDestroy(HWND control, UINT message, WPARAM wParam, LPARAM lParam,
                                     UINT_PTR id, DWORD_PTR bitmap) {
    if (message == WM_NCDESTROY) {
        ::RemoveWindowSubclass(control, FreeBannerOnDestroy, id);
        ::DeleteObject(reinterpret_cast<HBITMAP>(bitmap));
    }
    return ::DefSubclassProc(control, message, wParam, lParam);
}

// `source` drawn at width x height, averaging the pixels it covers rather than dropping rows
// and columns.
HBITMAP ScaledCopy(HBITMAP source, const BITMAP& size, int width, int height) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP scaled = ::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (scaled == nullptr) return nullptr;
    HDC from = ::CreateCompatibleDC(nullptr);
    HDC to = ::CreateCompatibleDC(nullptr);
    HGDIOBJ oldFrom = ::SelectObject(from, source);
    HGDIOBJ oldTo = ::SelectObject(to, scaled);
    ::SetStretchBltMode(to, HALFTONE);
    ::SetBrushOrgEx(to, 0, 0, nullptr);
    ::StretchBlt(to, 0, 0, width, height, from, 0, 0, size.bmWidth, size.bmHeight, SRCCOPY);
    ::SelectObject(from, oldFrom);
    ::SelectObject(to, oldTo);
    ::DeleteDC(from);
    ::DeleteDC(to);
    return scaled;
}

}  // namespace

void ShowBannerAtScreenScale(HWND dialog) {
    HWND control = ::GetDlgItem(dialog, IDC_BANNER);
    auto* original =
        reinterpret_cast<HBITMAP>(::SendMessageA(control, STM_GETIMAGE, IMAGE_BITMAP, 0));
    BITMAP size{};
    if (original == nullptr || ::GetObjectA(original, sizeof size, &size) == 0) return;
    HDC screen = ::GetDC(control);
    const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
    ::ReleaseDC(control, screen);
    const int width = ::MulDiv(size.bmWidth, dpi, 96);
    const int height = ::MulDiv(size.bmHeight, dpi, 96);

    // The frame takes the banner's size, as a picture control does with its picture; the top
    // left corner stays where the layout puts it.
    RECT outer;
    RECT inner;
    ::GetWindowRect(control, &outer);
    ::GetClientRect(control, &inner);
    ::SetWindowPos(control, nullptr, 0, 0, width + (outer.right - outer.left) - inner.right,
                   height + (outer.bottom - outer.top) - inner.bottom,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    if (width == size.bmWidth && height == size.bmHeight) return;

    HBITMAP scaled = ScaledCopy(original, size, width, height);
    if (scaled == nullptr) return;
    if (::SetWindowSubclass(control, FreeBannerOnDestroy, kBannerSubclassId,
                            reinterpret_cast<DWORD_PTR>(scaled)) == FALSE) {
        ::DeleteObject(scaled);
        return;
    }
    // The picture the control loaded from the resources stays the control's; it is only no
    // longer shown.
    ::SendMessageA(control, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(scaled));
}

}  // namespace morvane
