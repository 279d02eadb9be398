// What the Windows window's tests share: driving the dialog with the messages the system sends
// when the user acts, serving its messages while waiting, and reading its controls back.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "app/resource.h"
#include "serial/enumerate_com_ports.h"
#include "tests/support/ports.h"
#include "tests/support/scripted_loader.h"

// After the product's headers: the system's macros must not rename the product's own names.
#include <windows.h>
// The common controls need the system's types first.
#include <commctrl.h>

namespace morvane::testing_win32 {

using testing::Port;

// What the program's start-up does before the dialog is made.
inline void InitDialogClasses() {
    INITCOMMONCONTROLSEX classes{sizeof(INITCOMMONCONTROLSEX),
                                 ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&classes);
}

// Serves the thread's messages, keys through the dialog as its modal loop would, until `until`
// holds or `timeoutMs` has passed; whether it held.
inline bool PumpUntil(HWND dialog, const std::function<bool()>& until, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        MSG message;
        while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (!::IsWindow(dialog) || !::IsDialogMessageA(dialog, &message)) {
                ::TranslateMessage(&message);
                ::DispatchMessageA(&message);
            }
        }
        if (until()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

inline void Pump(HWND dialog, int ms) {
    PumpUntil(
        dialog, [] { return false; }, ms);
}

inline HWND Item(HWND dialog, int id) { return ::GetDlgItem(dialog, id); }

inline std::string Text(HWND window) {
    char text[512] = {};
    ::GetWindowTextA(window, text, sizeof text);
    return text;
}

// A click on a button, as the button reports it.
inline void Click(HWND dialog, int id) {
    ::SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(Item(dialog, id)));
}

// The user picks item `index` of the port list: the selection moves, then is confirmed.
inline void SelectItem(HWND dialog, int index) {
    HWND list = Item(dialog, IDC_COMPORT);
    ::SendMessageA(list, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    ::SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_COMPORT, CBN_SELCHANGE),
                   reinterpret_cast<LPARAM>(list));
    ::SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_COMPORT, CBN_SELENDOK),
                   reinterpret_cast<LPARAM>(list));
}

// A key pressed and released on the control with the focus (or the dialog), delivered through
// the message queue as the keyboard would.
inline void Key(HWND dialog, WPARAM key) {
    HWND target = ::GetFocus() != nullptr ? ::GetFocus() : dialog;
    ::PostMessageA(target, WM_KEYDOWN, key, 1);
    ::PostMessageA(target, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
    Pump(dialog, 30);
}

}  // namespace morvane::testing_win32
