// One load's record as the load goes: what is known at its start (the time, the port and its
// adapter), what at its end (how it ended, the firmware before and after, the bytes sent), written
// to the record's file (load_record_file.h) and, when asked, to the system's log.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "record/loader_state.h"
#include "serial/enumerate_com_ports.h"
#include "session/load_record.h"
#include "session/load_record_file.h"

namespace morvane {

// The digest of the image this program carries, taken once.
[[nodiscard]] const std::string& CarriedImageSha256();

// This machine's name, for the record.
[[nodiscard]] std::string HostName();

// What port discovery knows of a port's USB adapter: the port found by its COM number (not 0), or
// else by its device path or stable name. Nothing for a port that is not on USB or not found.
[[nodiscard]] std::optional<SUsbIdentity> UsbIdentityInPortList(
    const CArray<SSerInfo, SSerInfo&>& ports, int comPort, const std::string& device);

// What a recorder asks of the system; each one left empty stands for the system's own.
struct SRecorderDeps {
    // The serial ports there are now, for the adapter of the loaded port; may throw ComEnumError.
    std::function<CArray<SSerInfo, SSerInfo&>()> ports;
    // When the load started, by the wall clock.
    std::function<std::chrono::system_clock::time_point()> wallClock;
    // How long it took, by a clock that setting the time does not move.
    std::function<std::chrono::steady_clock::time_point()> steadyClock;
};

// A program makes one per load and port; nothing is written when the target is off.
class CLoadRecorder {
public:
    CLoadRecorder(SLoadLogTarget target, std::string program, SRecorderDeps deps = {});

    // As the load starts: the time, the port ("COM5" or a path), the device it stands for, and
    // what the system knows of its adapter.
    void Started(const std::string& port, const std::string& device, int comPort);
    // The load stood still for `waited` while a box waited for the user to close it: that time
    // is no part of the load's duration.
    void WaitedOnUser(std::chrono::steady_clock::duration waited) { userWait_ += waited; }
    // As it ends, with its result word and the status it ended on: the record appended, and sent
    // to the system's log when the target asks. Nothing when written (or off), else what went
    // wrong; the system's log is the debug channel's.
    [[nodiscard]] std::optional<RecordError> Finished(std::string_view result, std::int32_t status,
                                                      const std::string& firmwareBefore,
                                                      const std::string& firmwareAfter,
                                                      const SLoaderState& state);

private:
    SLoadLogTarget target_;
    SRecorderDeps deps_;
    SLoadRecord record_;
    std::chrono::system_clock::time_point started_;
    std::chrono::steady_clock::time_point startedSteady_;
    std::chrono::steady_clock::duration userWait_{};
};

}  // namespace morvane
