// A serial device that plays a receiver on the virtual clock: it records every operation in a
// WireLog and answers "$JI" with a ">JI" sentence (and a version sentence) only while its line
// runs at the answering rate, queued for the next Read. Opens and writes can be made to fail, the
// device can go away, and the line can carry other sentences at a steady pace. What arrives is
// held in a ring of the real device's size until read; a reopen empties it. Every test that needs
// a serial device scripts this one.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "serial/serial_device.h"
#include "tests/support/wire_log.h"

namespace morvane::testing {

// The device a scripted port names in its open errors.
inline constexpr const char* kScriptedDevicePath = "/dev/ttyFAKE0";

struct DeviceScript {
    std::uint32_t answerRate = 19200;      // 0: never answers
    bool followsJBaud = false;             // "$JBAUD,N" heard at answerRate moves it to N
    int jiFields = 7;                      // fields of the ">JI" answer
    bool badChecksum = false;              // the ">JI" answer carries a wrong checksum
    bool sendVersion = true;               // a "$W6,VERSION,..." sentence with the answer
    std::string firmwareVersion = "1.10";  // the version that sentence names
    bool silentAfterImage = false;         // answers nothing once an image block went out
    // Whether the port is there (an open of a port that is not fails as "no such device", and an
    // open port that goes hangs up: its writes fail); empty: always.
    std::function<bool()> present;
    // The device goes away once it was opened this many times, as an adapter pulled out between
    // two opens; negative: never.
    int opensBeforeGone = -1;
    int failOpenAt = 0;        // this Open call (1-based) is refused; 0: none is
    bool refusesOpen = false;  // every Open is refused
    OpenError refusal{OpenErrorKind::Busy, kScriptedDevicePath, "Device or resource busy", 16, {}};
    // Bytes per second of other sentences arriving while the line is open; an answer goes in
    // between two of them.
    int chatterBytesPerSecond = 0;
    // The line goes down (an adapter pulled out) once this many bytes of writes longer than one
    // byte went out: the write that would carry more, and every write and open after, fail.
    // Negative: never.
    long dropAfterBlockBytes = -1;
    // Whether the write with this number (1-based, over all writes) fails; `blockWrite` numbers
    // the writes of more than one byte (0 for one-byte writes).
    std::function<bool(int write, int blockWrite)> failWrite;
};

// A receiver that never answers.
inline DeviceScript Silent() {
    DeviceScript s;
    s.answerRate = 0;
    return s;
}
// A port that will not open, for `why` (by default: another program holds it).
inline DeviceScript RefusesOpen(OpenError why = DeviceScript{}.refusal) {
    DeviceScript s = Silent();
    s.refusesOpen = true;
    s.refusal = std::move(why);
    return s;
}
inline DeviceScript OpenFailsAt(int call) {
    DeviceScript s;
    s.failOpenAt = call;
    return s;
}
inline DeviceScript AnswersAt(std::uint32_t rate, int fields = 7) {
    DeviceScript s;
    s.answerRate = rate;
    s.jiFields = fields;
    return s;
}

// "$" + body + "*" + checksum + CR LF.
std::string SentenceWithChecksum(const std::string& body);
// The answer to "$JI" with the first `fields` of seven fields.
std::string JiAnswer(int fields, bool badChecksum = false);
inline std::string VersionSentence(const std::string& version) {
    return SentenceWithChecksum("W6,VERSION,A," + version + ",2024");
}
inline const std::string kVersionSentence = VersionSentence("1.10");

class ScriptedDevice : public ISerialDevice {
public:
    ScriptedDevice(WireLog& log, DeviceScript script) : log_(log), script_(std::move(script)) {}
    // A device whose operations nobody looks at.
    explicit ScriptedDevice(DeviceScript script)
        : ownLog_(std::make_unique<WireLog>()), log_(*ownLog_), script_(std::move(script)) {}
    ~ScriptedDevice() override = default;

    bool Open(int port) override;
    bool InitCommState() override;
    bool SetHandshake(bool enable) override;
    bool ApplyCommState() override;
    bool Write(const void* data, int length) override;
    int Read(char* buffer, int length) override;
    void Close() override;
    [[nodiscard]] bool IsOpen() const override { return open_; }
    // A port whose device went away hangs up at once while open, as a real driver's tty does.
    [[nodiscard]] bool LineGone() const override { return open_ && Gone(); }
    [[nodiscard]] SLineSettings& LineSettings() override { return lineSettings; }
    [[nodiscard]] const OpenError& LastOpenError() const override { return openError_; }

    // Bytes from the receiver arrive now, for the next Read.
    void Arrive(const std::string& bytes);

    int lastPort = 0;
    SLineSettings lineSettings;

private:
    [[nodiscard]] bool Gone() const {
        return dropped_ || (script_.present && !script_.present()) ||
               (script_.opensBeforeGone >= 0 && opens_ > script_.opensBeforeGone);
    }
    void OnLine(const std::string& line);
    // Lets the other traffic arrive up to the virtual clock's now.
    void Advance();

    std::unique_ptr<WireLog> ownLog_;
    WireLog& log_;
    DeviceScript script_;
    OpenError openError_;
    bool open_ = false;
    int opens_ = 0;
    int writes_ = 0;
    int blockWrites_ = 0;
    long blockBytes_ = 0;
    bool dropped_ = false;
    std::string line_;     // the command line being received
    std::string pending_;  // what the next Read hands over
    std::string due_;      // answers waiting for the end of the sentence that is arriving
    std::uint64_t openedAtMs_ = 0;
    std::uint64_t chatterArrived_ = 0;  // bytes of other traffic since the open
};

}  // namespace morvane::testing
