// SLoaderState: the one record through which a load reports to whoever shows it.
//
// The load worker writes it, the window's timer (or the CLI's poll) reads it. Numbers and flags
// are atomics with one writer and lock-free readers; the texts sit behind a lock and their
// getters hand out copies, so a reader never sees a text half-written. `changed` is raised by
// the setters that say so below and lowered by TakeChanged() on the reader's side: a field
// written while a pass reads the record raises it again, and the next pass shows it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/mutex.h"
#include "platform/text.h"

namespace morvane {

class SLoaderState {
public:
    SLoaderState() = default;
    SLoaderState(const SLoaderState&) = delete;
    SLoaderState& operator=(const SLoaderState&) = delete;

    // Setters that raise `changed`.
    void SetBaudRate(std::uint32_t v) { Store(baudRate_, v); }
    void SetComPort(std::int32_t v) { Store(comPort_, v); }
    void SetReplySeen(bool v) { Store(replySeen_, v); }
    void SetLoadRunning(bool v) { Store(loadRunning_, v); }
    void SetStatus(std::int32_t v) { Store(status_, v); }
    void SetFirmwareDetected(bool v) { Store(firmwareDetected_, v); }
    void SetTotalBytes(std::uint32_t v) { Store(totalBytes_, v); }
    void SetSentBytes(std::uint32_t v) { Store(sentBytes_, v); }
    void SetBlockDelayMs(std::uint32_t v) { Store(blockDelayMs_, v); }
    void SetRemainingSeconds(std::int32_t v) { Store(remainingSeconds_, v); }
    void SetWaasPrn1(std::int32_t v) { Store(waasPrn1_, v); }
    void SetWaasPrn2(std::int32_t v) { Store(waasPrn2_, v); }
    void SetWaasPrnsSeen(bool v) { Store(waasPrnsSeen_, v); }
    void SetAppsSeen(bool v) { Store(appsSeen_, v); }
    void SetAppName1(const std::string& v) { StoreText(&SLoaderState::appName1_, v, true); }
    void SetAppName2(const std::string& v) { StoreText(&SLoaderState::appName2_, v, true); }
    void SetFirstAppName2(const std::string& v) {
        StoreText(&SLoaderState::firstAppName2_, v, true);
    }

    // Setters that leave `changed` alone: these values are not shown while a load runs.
    void SetFirmwareText(const CString& v) { StoreText(&SLoaderState::firmwareText_, v, false); }
    void SetStartPort(std::int32_t v) { startPort_.store(v); }
    void SetThisPort(std::int32_t v) { thisPort_.store(v); }
    void SetLoaderVersion(const std::string& v) {
        StoreText(&SLoaderState::loaderVersion_, v, false);
    }
    void SetLoaderVersionSeen(bool v) { loaderVersionSeen_.store(v); }

    [[nodiscard]] std::uint32_t GetBaudRate() const { return baudRate_.load(); }
    [[nodiscard]] std::int32_t GetComPort() const { return comPort_.load(); }
    [[nodiscard]] bool GetReplySeen() const { return replySeen_.load(); }
    [[nodiscard]] bool GetLoadRunning() const { return loadRunning_.load(); }
    [[nodiscard]] std::int32_t GetStatus() const { return status_.load(); }
    [[nodiscard]] bool GetFirmwareDetected() const { return firmwareDetected_.load(); }
    [[nodiscard]] std::uint32_t GetTotalBytes() const { return totalBytes_.load(); }
    [[nodiscard]] std::uint32_t GetSentBytes() const { return sentBytes_.load(); }
    [[nodiscard]] std::uint32_t GetBlockDelayMs() const { return blockDelayMs_.load(); }
    [[nodiscard]] std::int32_t GetRemainingSeconds() const { return remainingSeconds_.load(); }
    [[nodiscard]] std::int32_t GetThisPort() const { return thisPort_.load(); }
    [[nodiscard]] std::int32_t GetStartPort() const { return startPort_.load(); }
    [[nodiscard]] std::int32_t GetWaasPrn1() const { return waasPrn1_.load(); }
    [[nodiscard]] std::int32_t GetWaasPrn2() const { return waasPrn2_.load(); }
    [[nodiscard]] bool GetAppsSeen() const { return appsSeen_.load(); }
    [[nodiscard]] bool GetWaasPrnsSeen() const { return waasPrnsSeen_.load(); }
    [[nodiscard]] bool GetLoaderVersionSeen() const { return loaderVersionSeen_.load(); }
    [[nodiscard]] CString GetFirmwareText() const { return LoadText(&SLoaderState::firmwareText_); }
    [[nodiscard]] std::string GetAppName1() const { return LoadText(&SLoaderState::appName1_); }
    [[nodiscard]] std::string GetAppName2() const { return LoadText(&SLoaderState::appName2_); }
    [[nodiscard]] std::string GetFirstAppName2() const {
        return LoadText(&SLoaderState::firstAppName2_);
    }
    [[nodiscard]] std::string GetLoaderVersion() const {
        return LoadText(&SLoaderState::loaderVersion_);
    }

    // True, and lowers `changed`, if something was written since the last call.
    bool TakeChanged() { return changed_.exchange(false); }
    // Looks without lowering; for tests and diagnostics.
    [[nodiscard]] bool IsChanged() const { return changed_.load(); }

    // Prepares the record for a new load. The last status, firmware text, estimate and the
    // port choices survive, so the window keeps showing how the previous load ended.
    void Reset();

private:
    template <class T, class V>
    void Store(std::atomic<T>& field, V value) {
        field.store(static_cast<T>(value));
        changed_.store(true);
    }
    // The texts are named by member pointer so that every access goes through the lock here;
    // a direct use of a text member anywhere else is caught by the thread-safety analysis.
    using TextField = std::string SLoaderState::*;
    void StoreText(TextField field, const std::string& value, bool raise) {
        {
            const CMutexLock guard(textLock_);
            this->*field = value;
        }
        if (raise) changed_.store(true);
    }
    std::string LoadText(TextField field) const {
        const CMutexLock guard(textLock_);
        return this->*field;
    }

    // Values the record gives no meaning until a load writes them start at zero.
    std::atomic<std::uint32_t> baudRate_{0};
    std::atomic<std::int32_t> comPort_{0};
    std::atomic<bool> replySeen_{false};
    std::atomic<bool> loadRunning_{false};
    std::atomic<bool> changed_{false};
    std::atomic<std::int32_t> status_{0};
    std::atomic<bool> firmwareDetected_{false};
    std::atomic<std::uint32_t> totalBytes_{0};
    std::atomic<std::uint32_t> sentBytes_{0};
    std::atomic<std::uint32_t> blockDelayMs_{0};
    std::atomic<std::int32_t> remainingSeconds_{0};
    std::atomic<std::int32_t> thisPort_{4};
    std::atomic<std::int32_t> startPort_{-1};
    std::atomic<std::int32_t> waasPrn1_{-1};
    std::atomic<std::int32_t> waasPrn2_{0};
    std::atomic<bool> appsSeen_{false};
    std::atomic<bool> waasPrnsSeen_{false};
    std::atomic<bool> loaderVersionSeen_{false};

    mutable CMutex textLock_;
    CString firmwareText_ MORVANE_GUARDED_BY(textLock_);
    std::string appName1_ MORVANE_GUARDED_BY(textLock_);
    std::string appName2_ MORVANE_GUARDED_BY(textLock_);
    std::string firstAppName2_ MORVANE_GUARDED_BY(textLock_);
    std::string loaderVersion_ MORVANE_GUARDED_BY(textLock_);
};

}  // namespace morvane
