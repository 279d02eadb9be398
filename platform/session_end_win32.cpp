#include "platform/session_end_win32.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/debug.h"

namespace morvane {
namespace {

constexpr const wchar_t* kGuardClass = L"MorvaneSessionEndGuard";

std::wstring Wide(const std::string& text) {
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    (void)::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), length);
    wide.resize(static_cast<std::size_t>(length) - 1);
    return wide;
}

}  // namespace

void HoldOffSessionEnd(HWND window, const std::string& why) {
    if (::ShutdownBlockReasonCreate(window, Wide(why).c_str()) == FALSE)
        OutputDebugStringA("morvane: Windows took no reason for holding off shutdown\n");
}

void AllowSessionEnd(HWND window) { (void)::ShutdownBlockReasonDestroy(window); }

struct CSessionEndGuard::Impl {
    std::string why;
    std::function<void()> ended;
    std::mutex lock;
    std::condition_variable made;
    bool ready = false;     // guarded by lock
    HWND window = nullptr;  // guarded by lock until ready, then only read
    std::thread thread;

    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<Impl*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        switch (message) {
            case WM_QUERYENDSESSION: return FALSE;
            case WM_ENDSESSION:
                if (wParam != FALSE && self != nullptr && self->ended) self->ended();
                return 0;
            case WM_CLOSE:
                AllowSessionEnd(window);
                (void)::DestroyWindow(window);
                return 0;
            case WM_DESTROY: ::PostQuitMessage(0); return 0;
            default: return ::DefWindowProcW(window, message, wParam, lParam);
        }
    }

    void Run() {
        const HINSTANCE instance = ::GetModuleHandleW(nullptr);
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = &Procedure;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = kGuardClass;
        (void)::RegisterClassExW(&windowClass);  // a second guard finds the class registered
        // Top-level, never shown: windows parented to HWND_MESSAGE get no session messages.
        HWND created = ::CreateWindowExW(0, kGuardClass, L"Morvane", WS_OVERLAPPED, 0, 0, 0, 0,
                                         nullptr, nullptr, instance, nullptr);
        if (created != nullptr) {
            (void)::SetWindowLongPtrW(created, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
            HoldOffSessionEnd(created, why);
        } else {
            OutputDebugStringA("morvane: no window to hold off log-off and shutdown\n");
        }
        {
            const std::lock_guard<std::mutex> guard(lock);
            window = created;
            ready = true;
        }
        made.notify_all();
        if (created == nullptr) return;
        MSG message;
        while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
            (void)::TranslateMessage(&message);
            (void)::DispatchMessageW(&message);
        }
    }
};

CSessionEndGuard::CSessionEndGuard(const std::string& why, std::function<void()> ended)
    : impl_(std::make_unique<Impl>()) {
    impl_->why = why;
    impl_->ended = std::move(ended);
    impl_->thread = std::thread([impl = impl_.get()] { impl->Run(); });
    std::unique_lock<std::mutex> guard(impl_->lock);
    impl_->made.wait(guard, [this] { return impl_->ready; });
}

CSessionEndGuard::~CSessionEndGuard() {
    if (impl_->window != nullptr) (void)::PostMessageW(impl_->window, WM_CLOSE, 0, 0);
    impl_->thread.join();
}

HWND CSessionEndGuard::Window() const { return impl_->window; }

}  // namespace morvane
