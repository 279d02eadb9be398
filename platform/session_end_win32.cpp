#include "platform/session_end_win32.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/debug.h"
#include "platform/wide_text_win32.h"

namespace morvane {
namespace {

constexpr const wchar_t* kGuardClass = L"MorvaneSessionEndGuard";
// Posted to the guard's window when the count of loads changed: the reason is registered or
// destroyed on the window's own thread, as Windows asks.
constexpr UINT kLoadsChanged = WM_APP + 1;

class CSystemShutdownReasonCalls final : public CShutdownReasonCalls {
public:
    BOOL Create(HWND window, const wchar_t* reason) override {
        return ::ShutdownBlockReasonCreate(window, reason);
    }
    BOOL Destroy(HWND window) override { return ::ShutdownBlockReasonDestroy(window); }
};

}  // namespace

CShutdownReasonCalls& SystemShutdownReasonCalls() {
    static CSystemShutdownReasonCalls calls;
    return calls;
}

void HoldOffSessionEnd(HWND window, const std::string& why, CShutdownReasonCalls& calls) {
    if (calls.Create(window, WideFromUtf8(why).c_str()) == FALSE)
        OutputDebugStringA("morvane: Windows took no reason for holding off shutdown\n");
}

void AllowSessionEnd(HWND window, CShutdownReasonCalls& calls) { (void)calls.Destroy(window); }

struct CSessionEndGuard::Impl {
    std::atomic<int> loads{0};  // the loads that hold off the session's end now
    bool reasonShown = false;   // the window's thread only
    std::string why;
    std::function<void()> ended;
    CShutdownReasonCalls* reasons = nullptr;
    std::mutex lock;
    std::condition_variable made;
    bool ready = false;     // guarded by lock
    HWND window = nullptr;  // guarded by lock until ready, then only read
    std::thread thread;

    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<Impl*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        switch (message) {
            case WM_QUERYENDSESSION:
                return self != nullptr && self->loads.load() > 0 ? FALSE : TRUE;
            case WM_ENDSESSION:
                if (wParam != FALSE && self != nullptr && self->ended) self->ended();
                return 0;
            case kLoadsChanged:
                if (self != nullptr) self->ShowReason(window);
                return 0;
            case WM_CLOSE:
                AllowSessionEnd(window,
                                self != nullptr ? *self->reasons : SystemShutdownReasonCalls());
                (void)::DestroyWindow(window);
                return 0;
            case WM_DESTROY: ::PostQuitMessage(0); return 0;
            default: return ::DefWindowProcW(window, message, wParam, lParam);
        }
    }

    // The reason registered for `guardWindow` while a load runs, and only then.
    void ShowReason(HWND guardWindow) {
        const bool wanted = loads.load() > 0;
        if (wanted == reasonShown) return;
        reasonShown = wanted;
        if (wanted)
            HoldOffSessionEnd(guardWindow, why, *reasons);
        else
            AllowSessionEnd(guardWindow, *reasons);
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
            ShowReason(created);
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

namespace {

std::mutex g_guardLock;
CSessionEndGuard::Impl* g_guard = nullptr;  // the program's guard, guarded by g_guardLock

void CountLoad(int change) {
    const std::lock_guard<std::mutex> guard(g_guardLock);
    if (g_guard == nullptr) return;
    g_guard->loads.fetch_add(change);
    if (g_guard->window != nullptr) (void)::PostMessageW(g_guard->window, kLoadsChanged, 0, 0);
}

}  // namespace

void CSessionEndGuard::LoadStarted() { CountLoad(1); }
void CSessionEndGuard::LoadEnded() { CountLoad(-1); }

CSessionEndGuard::CSessionEndGuard(const std::string& why, std::function<void()> ended,
                                   CShutdownReasonCalls* reasons)
    : impl_(std::make_unique<Impl>()) {
    impl_->why = why;
    impl_->ended = std::move(ended);
    impl_->reasons = reasons != nullptr ? reasons : &SystemShutdownReasonCalls();
    impl_->thread = std::thread([impl = impl_.get()] { impl->Run(); });
    {
        std::unique_lock<std::mutex> guard(impl_->lock);
        impl_->made.wait(guard, [this] { return impl_->ready; });
    }
    const std::lock_guard<std::mutex> guard(g_guardLock);
    g_guard = impl_.get();
}

CSessionEndGuard::~CSessionEndGuard() {
    {
        const std::lock_guard<std::mutex> guard(g_guardLock);
        if (g_guard == impl_.get()) g_guard = nullptr;
    }
    if (impl_->window != nullptr) (void)::PostMessageW(impl_->window, WM_CLOSE, 0, 0);
    impl_->thread.join();
}

HWND CSessionEndGuard::Window() const { return impl_->window; }

}  // namespace morvane
