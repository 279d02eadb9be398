// The line check on a virtual clock: a loopback plug whose bytes come back as a chosen adapter
// hands them back, and the check's time, which runs the sending side and the reading side in
// lockstep (the reader goes on only while the sender waits), so that a run takes no real time and
// comes out the same to the microsecond every time. For the tests of morvane-cli --line-check
// (header only: it stands on the CLI's own seam).
#pragma once

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "cli/line_check.h"
#include "serial/serial_device.h"

namespace morvane::testing {

struct SVirtualLineStyle {
    // Above 0: bytes are handed back only on a tick of this period, all that arrived since the
    // last one together, as a USB adapter's latency timer does (or a far longer batch).
    double packetMs = 0;
    // Bytes the adapter holds until it hands them back; what comes beyond is dropped. 0: no limit.
    std::size_t holds = 0;
    // The byte at this place in the stream never comes back.
    std::size_t dropByte = static_cast<std::size_t>(-1);
    // This block write (1-based) fails, and every one after it; 0: none does.
    int failWriteAt = 0;
};

class CVirtualLine final : public ISerialDevice, public ILineCheckTime {
public:
    explicit CVirtualLine(SVirtualLineStyle style = {}) : style_(style) {}

    // The line.
    bool Open(int /*port*/) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        return true;
    }
    bool InitCommState() override { return open_; }
    bool SetHandshake(bool /*enable*/) override { return open_; }
    bool ApplyCommState() override { return open_; }
    // Lasts as long as its bytes take on the line, which then carries them back.
    bool Write(const void* data, int length) override {
        double lineFree = 0;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!open_ || (style_.failWriteAt != 0 && ++blockWrites_ >= style_.failWriteAt))
                return false;
            const double characterMs = 10000.0 / settings_.BaudRate;
            lineFree_ = std::max(lineFree_, now_);
            for (int i = 0; i < length; ++i) {
                lineFree_ += characterMs;
                if (carried_++ == style_.dropByte || Full()) continue;
                const double handed = style_.packetMs > 0
                                          ? style_.packetMs * std::ceil(lineFree_ / style_.packetMs)
                                          : lineFree_;
                back_.emplace_back(handed, static_cast<const char*>(data)[i]);
            }
            lineFree = lineFree_;
        }
        WaitUntilMs(lineFree);
        return true;
    }
    int Read(char* buffer, int length) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        while (n < length && !back_.empty() && back_.front().first <= now_) {
            buffer[n++] = back_.front().second;
            back_.pop_front();
        }
        return n;
    }
    void Close() override {
        const std::lock_guard<std::mutex> lock(mutex_);
        open_ = false;
    }
    [[nodiscard]] bool IsOpen() const override { return open_; }
    [[nodiscard]] SLineSettings& LineSettings() override { return settings_; }
    [[nodiscard]] const OpenError& LastOpenError() const override { return openError_; }

    // The time: the reader moves it on, and only while the writer waits or has ended.
    double NowMs() override {
        const std::lock_guard<std::mutex> lock(mutex_);
        return now_;
    }
    void WaitUntilMs(double ms) override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (std::this_thread::get_id() != reader_) {
            writerWaits_ = ms;
            moved_.notify_all();
            moved_.wait(lock, [&] { return now_ >= ms; });
            writerWaits_.reset();
            return;
        }
        while (now_ < ms) {
            moved_.wait(lock, [&] { return writerDone_ || writerWaits_.has_value(); });
            now_ = std::max(now_, writerWaits_ ? std::min(ms, *writerWaits_) : ms);
            moved_.notify_all();
            // A writer woken by it acts at this time before the reader does anything more.
            moved_.wait(lock,
                        [&] { return writerDone_ || (writerWaits_ && *writerWaits_ > now_); });
        }
    }
    void SideBySide(const std::function<void()>& writer,
                    const std::function<void()>& reader) override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            reader_ = std::this_thread::get_id();
            writerDone_ = false;
        }
        std::thread side([&] {
            writer();
            const std::lock_guard<std::mutex> lock(mutex_);
            writerDone_ = true;
            moved_.notify_all();
        });
        reader();
        side.join();
    }

private:
    // The adapter holds all it can and hands nothing back yet.
    bool Full() const {
        return style_.holds != 0 &&
               static_cast<std::size_t>(std::count_if(
                   back_.begin(), back_.end(), [this](const auto& b) { return b.first > now_; })) >=
                   style_.holds;
    }

    const SVirtualLineStyle style_;
    std::mutex mutex_;
    std::condition_variable moved_;
    double now_ = 0;
    std::thread::id reader_;
    std::optional<double> writerWaits_;  // the writer's wait, while it waits
    bool writerDone_ = true;
    bool open_ = false;
    SLineSettings settings_;
    OpenError openError_;
    int blockWrites_ = 0;
    double lineFree_ = 0;  // when the line has carried everything written
    std::size_t carried_ = 0;
    std::deque<std::pair<double, char>> back_;  // what comes back, and when it is handed over
};

}  // namespace morvane::testing
