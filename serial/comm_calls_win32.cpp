#include "serial/comm_calls_win32.h"

// After windows.h (comm_calls_win32.h), which it needs.
#include <cfgmgr32.h>

#include <algorithm>
#include <memory>

#include "platform/deadline_timer_win32.h"
#include "platform/pacing.h"
#include "platform/system_library_win32.h"
#include "platform/wide_text_win32.h"

namespace morvane {
namespace {

// The device-handle notification of the configuration manager (Windows 8 and later), loaded at
// run time: cfgmgr32 is not one of the libraries Windows always takes from its own folder.
using RegisterNotificationFn = CONFIGRET(WINAPI*)(PCM_NOTIFY_FILTER, PVOID, PCM_NOTIFY_CALLBACK,
                                                  PHCMNOTIFICATION);
using UnregisterNotificationFn = CONFIGRET(WINAPI*)(HCMNOTIFICATION);
struct SNotificationCalls {
    RegisterNotificationFn registerFn = nullptr;
    UnregisterNotificationFn unregisterFn = nullptr;
};

const SNotificationCalls& NotificationCalls() {
    static const SNotificationCalls calls = [] {
        SNotificationCalls found;
        const HMODULE library = LoadSystemLibrary(L"cfgmgr32.dll");
        if (library == nullptr) return found;
        found.registerFn = reinterpret_cast<RegisterNotificationFn>(
            reinterpret_cast<void*>(::GetProcAddress(library, "CM_Register_Notification")));
        found.unregisterFn = reinterpret_cast<UnregisterNotificationFn>(
            reinterpret_cast<void*>(::GetProcAddress(library, "CM_Unregister_Notification")));
        if (found.registerFn == nullptr || found.unregisterFn == nullptr) found = {};
        return found;
    }();
    return calls;
}

// What one watched port's notification needs; lives from its registration until it is ended.
struct SRemovalWatch {
    CWin32CommCalls* calls = nullptr;
    std::string path;
    HCMNOTIFICATION notification = nullptr;
};

// On a thread of the system's: says no more than that the device is going or gone. A request to
// remove it (the user's "safely remove") is no removal: while our handle is open, Windows refuses
// it.
DWORD CALLBACK OnDeviceEvent(HCMNOTIFICATION /*notification*/, PVOID context,
                             CM_NOTIFY_ACTION action, PCM_NOTIFY_EVENT_DATA /*data*/,
                             DWORD /*size*/) {
    const auto* watch = static_cast<const SRemovalWatch*>(context);
    if (action == CM_NOTIFY_ACTION_DEVICEREMOVEPENDING ||
        action == CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE)
        watch->calls->NoteRemoved(watch->path);
    return ERROR_SUCCESS;
}

// "COM5" of "\\.\COM5".
std::wstring PortNameOf(const std::string& path) {
    const std::string devicePrefix = "\\\\.\\";
    return WideFromUtf8(path.compare(0, devicePrefix.size(), devicePrefix) == 0
                            ? path.substr(devicePrefix.size())
                            : path);
}

class CSystemCommCalls final : public CWin32CommCalls {
public:
    DWORD GetLastError() override { return ::GetLastError(); }
    HANDLE CreateFileA(const char* path) override {
        return ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    }
    BOOL CloseHandle(HANDLE port) override { return ::CloseHandle(port); }
    BOOL SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue) override {
        return ::SetupComm(port, inQueue, outQueue);
    }
    BOOL PurgeComm(HANDLE port, DWORD flags) override { return ::PurgeComm(port, flags); }
    BOOL GetCommState(HANDLE port, DCB& dcb) override { return ::GetCommState(port, &dcb); }
    BOOL SetCommState(HANDLE port, DCB& dcb) override { return ::SetCommState(port, &dcb); }
    BOOL SetCommTimeouts(HANDLE port, COMMTIMEOUTS& timeouts) override {
        return ::SetCommTimeouts(port, &timeouts);
    }
    BOOL ClearCommError(HANDLE port, DWORD& errors, COMSTAT& status) override {
        return ::ClearCommError(port, &errors, &status);
    }
    BOOL EscapeCommFunction(HANDLE port, DWORD function) override {
        return ::EscapeCommFunction(port, function);
    }
    BOOL ReadFile(HANDLE port, void* buffer, DWORD size, DWORD& read,
                  OVERLAPPED& overlapped) override {
        return ::ReadFile(port, buffer, size, &read, &overlapped);
    }
    BOOL WriteFile(HANDLE port, const void* data, DWORD size, DWORD& written,
                   OVERLAPPED& overlapped) override {
        return ::WriteFile(port, data, size, &written, &overlapped);
    }
    // Windows 8's GetOverlappedResultEx made of calls Windows 7 has.
    BOOL GetOverlappedResultEx(HANDLE port, OVERLAPPED& overlapped, DWORD& transferred,
                               DWORD ms) override {
        if (ms != 0 && ::WaitForSingleObject(overlapped.hEvent, ms) == WAIT_TIMEOUT) {
            ::SetLastError(WAIT_TIMEOUT);
            return FALSE;
        }
        return ::GetOverlappedResult(port, &overlapped, &transferred, FALSE);
    }
    // The system writes the I/O's status into the structure before it sets the event.
    bool IoCompleted(OVERLAPPED& overlapped, DWORD ms) override {
        if (HasOverlappedIoCompleted(&overlapped)) return true;
        return ::WaitForSingleObject(overlapped.hEvent, ms) == WAIT_OBJECT_0 &&
               HasOverlappedIoCompleted(&overlapped);
    }
    BOOL CancelIo(HANDLE port) override { return ::CancelIo(port); }
    bool WaitForObject(HANDLE object, Clock::time_point deadline) override {
        return ::WaitForSingleObject(object, MsUntil(deadline)) == WAIT_OBJECT_0;
    }

    bool PortListed(const std::string& path) override {
        HKEY key = nullptr;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                            &key) != ERROR_SUCCESS) {
            // Without the list nothing confirms a port gone: it counts as there.
            return true;
        }
        const std::wstring wanted = PortNameOf(path);
        bool listed = false;
        for (DWORD index = 0; !listed; ++index) {
            wchar_t name[256];
            DWORD nameSize = 256;
            wchar_t data[64] = {};
            DWORD dataSize = sizeof data - sizeof(wchar_t);
            DWORD type = 0;
            const LSTATUS status = ::RegEnumValueW(key, index, name, &nameSize, nullptr, &type,
                                                   reinterpret_cast<BYTE*>(data), &dataSize);
            if (status == ERROR_MORE_DATA) continue;
            if (status != ERROR_SUCCESS) break;
            listed = type == REG_SZ && ::lstrcmpiW(data, wanted.c_str()) == 0;
        }
        ::RegCloseKey(key);
        return listed;
    }

    void* WatchRemoval(HANDLE port, const std::string& path) override {
        const SNotificationCalls& cm = NotificationCalls();
        if (cm.registerFn == nullptr) return nullptr;
        auto watch = std::make_unique<SRemovalWatch>();
        watch->calls = this;
        watch->path = path;
        CM_NOTIFY_FILTER filter{};
        filter.cbSize = sizeof filter;
        filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE;
        filter.u.DeviceHandle.hTarget = port;
        if (cm.registerFn(&filter, watch.get(), &OnDeviceEvent, &watch->notification) != CR_SUCCESS)
            return nullptr;
        return watch.release();
    }
    // Waits for a notification being delivered; never called from one.
    void EndRemovalWatch(void* token) override {
        if (token == nullptr) return;
        const std::unique_ptr<SRemovalWatch> watch(static_cast<SRemovalWatch*>(token));
        (void)NotificationCalls().unregisterFn(watch->notification);
    }

    Clock::time_point Now() override { return Clock::now(); }
    void SleepUntil(Clock::time_point deadline) override { morvane::SleepUntil(deadline); }
};

}  // namespace

void CWin32CommCalls::NoteClosed(const std::string& path) {
    const Clock::time_point now = Now();
    const CMutexLock guard(closesLock_);
    closedAt_[path] = now;
}

std::optional<CWin32CommCalls::Clock::time_point> CWin32CommCalls::ClosedAt(
    const std::string& path) {
    const CMutexLock guard(closesLock_);
    const auto it = closedAt_.find(path);
    if (it == closedAt_.end()) return std::nullopt;
    return it->second;
}

void CWin32CommCalls::NoteRemoved(const std::string& path) {
    const Clock::time_point now = Now();
    const CMutexLock guard(closesLock_);
    removedAt_[path] = now;
}

bool CWin32CommCalls::RemovedSince(const std::string& path, Clock::time_point since) {
    const CMutexLock guard(closesLock_);
    const auto it = removedAt_.find(path);
    return it != removedAt_.end() && it->second >= since;
}

void CWin32CommCalls::NoteOpened(const std::string& path, bool listed) {
    const CMutexLock guard(closesLock_);
    listedAtOpen_[path] = listed;
}

bool CWin32CommCalls::LeftTheList(const std::string& path) {
    {
        const CMutexLock guard(closesLock_);
        const auto it = listedAtOpen_.find(path);
        if (it == listedAtOpen_.end() || !it->second) return false;
    }
    return !PortListed(path);
}

CWin32CommCalls& SystemCommCalls() {
    static CSystemCommCalls calls;
    return calls;
}

void NotePortRemoved(const std::string& portName) {
    SystemCommCalls().NoteRemoved("\\\\.\\" + portName);
}

}  // namespace morvane
