#include <windows.h>

#include <algorithm>

#include "platform/deadline_timer_win32.h"
#include "platform/pacing.h"
#include "platform/system_library_win32.h"

namespace morvane {
namespace {

using Clock = std::chrono::steady_clock;
using Ticks =
    std::chrono::duration<LONGLONG, std::ratio<1, 10'000'000>>;  // 100 ns, as timers count

// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, which MinGW's headers do not name yet.
constexpr DWORD kHighResolutionTimer = 0x00000002;

HANDLE CreateHighResolutionTimer() {
    return ::CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS);
}

// One timer per thread, made on the thread's first wait and closed when the thread ends.
struct SThreadTimer {
    HANDLE handle = CreateHighResolutionTimer();
    SThreadTimer() = default;
    SThreadTimer(const SThreadTimer&) = delete;
    SThreadTimer& operator=(const SThreadTimer&) = delete;
    ~SThreadTimer() {
        if (handle != nullptr) ::CloseHandle(handle);
    }
};

// timeBeginPeriod and timeEndPeriod, from the multimedia library: it is not one Windows always
// takes from its own folder, and only systems without high-resolution timers need it.
using TimePeriodFn = UINT(WINAPI*)(UINT);
struct STimePeriodCalls {
    TimePeriodFn begin = nullptr;
    TimePeriodFn end = nullptr;
};

const STimePeriodCalls& TimePeriodCalls() {
    static const STimePeriodCalls calls = [] {
        STimePeriodCalls found;
        const HMODULE winmm = LoadSystemLibrary(L"winmm.dll");
        if (winmm == nullptr) return found;
        found.begin = reinterpret_cast<TimePeriodFn>(
            reinterpret_cast<void*>(::GetProcAddress(winmm, "timeBeginPeriod")));
        found.end = reinterpret_cast<TimePeriodFn>(
            reinterpret_cast<void*>(::GetProcAddress(winmm, "timeEndPeriod")));
        if (found.begin == nullptr || found.end == nullptr) found = {};
        return found;
    }();
    return calls;
}

// timeBeginPeriod's and timeEndPeriod's result when they took the request.
constexpr UINT kTimerNoError = 0;

}  // namespace

bool HighResolutionTimersAvailable() {
    // Older systems refuse the flag.
    static const bool available = [] {
        const HANDLE timer = CreateHighResolutionTimer();
        if (timer == nullptr) return false;
        ::CloseHandle(timer);
        return true;
    }();
    return available;
}

HANDLE DeadlineTimer(Clock::time_point deadline) {
    if (!HighResolutionTimersAvailable()) return nullptr;
    thread_local SThreadTimer timer;
    if (timer.handle == nullptr) return nullptr;
    // A negative due time counts from now.
    LARGE_INTEGER due;
    due.QuadPart =
        -std::max<LONGLONG>(1, std::chrono::ceil<Ticks>(deadline - Clock::now()).count());
    if (!::SetWaitableTimer(timer.handle, &due, 0, nullptr, nullptr, FALSE)) return nullptr;
    return timer.handle;
}

DWORD MsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
}

void SleepUntil(Clock::time_point deadline) {
    // The time-out stays as a bound should the timer not be had; a wait on the timer ends first.
    for (DWORD left = MsUntil(deadline); left > 0; left = MsUntil(deadline)) {
        const HANDLE timer = DeadlineTimer(deadline);
        if (timer != nullptr)
            (void)::WaitForSingleObject(timer, left);
        else
            ::Sleep(left);
    }
}

// Windows wakes sleepers on its timer tick, 15.6 ms by default, which would make a 20 ms pause
// last 31 ms. Where the load's waits have no high-resolution timer, the finest tick is asked for
// while a load runs and given back after it: the raised rate costs the whole PC power.
CPacingScope::CPacingScope() {
    if (HighResolutionTimersAvailable()) return;
    const STimePeriodCalls& calls = TimePeriodCalls();
    if (calls.begin != nullptr && calls.begin(1) == kTimerNoError) saved_ = 1;
}

CPacingScope::~CPacingScope() {
    if (saved_ != 0) (void)TimePeriodCalls().end(1);
}

}  // namespace morvane
