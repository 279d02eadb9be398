// Follows an Intel HEX image as it arrives, byte by byte, the way the receiver's boot loader
// takes it in: every record is checked for form, checksum and address continuity, and the image
// is complete when its end-of-file record arrives. Nothing is written anywhere; the checker only
// keeps the bytes it received and tallies what was wrong with them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvane {

// One record, decoded. `data` holds the record's data bytes only.
struct SHexRecord {
    std::uint8_t type = 0;
    std::uint16_t offset = 0;
    std::vector<std::uint8_t> data;
};

inline constexpr std::uint8_t kHexData = 0x00;
inline constexpr std::uint8_t kHexEndOfFile = 0x01;
inline constexpr std::uint8_t kHexExtendedSegment = 0x02;
inline constexpr std::uint8_t kHexStartSegment = 0x03;
inline constexpr std::uint8_t kHexExtendedLinear = 0x04;
inline constexpr std::uint8_t kHexStartLinear = 0x05;

// Decodes one record's text (from its ':' up to, not including, the line end). On failure the
// reason is left in `why`.
[[nodiscard]] std::optional<SHexRecord> ParseHexRecord(std::string_view text, std::string* why);

class CHexImageCheck {
public:
    enum class Step : std::uint8_t {
        Ignored,    // before the image: line ends and anything else that is not a record
        Taken,      // part of the image
        EndOfFile,  // completed the end-of-file record; the image is over
    };

    // Takes one received byte.
    Step Put(std::uint8_t c);
    // Takes the line feed that may follow the end-of-file record's carriage return.
    void PutTrailing(std::uint8_t c) { bytes_.push_back(c); }

    void Reset() { *this = CHexImageCheck{}; }

    // True while no record is half-read: the place where a command line could begin.
    [[nodiscard]] bool AtRecordBoundary() const { return !inRecord_; }
    [[nodiscard]] bool Started() const { return !bytes_.empty(); }
    [[nodiscard]] bool EndOfFileSeen() const { return endOfFile_; }
    [[nodiscard]] std::size_t Records() const { return records_; }
    [[nodiscard]] std::size_t Errors() const { return errors_.size() + extraErrors_; }
    // The reasons of the first errors, in the order they were found.
    [[nodiscard]] const std::vector<std::string>& ErrorTexts() const { return errors_; }
    // Every byte from the image's first ':' on, exactly as received.
    [[nodiscard]] const std::vector<std::uint8_t>& Bytes() const { return bytes_; }
    // The first data bytes of the image, where the firmware keeps its identification.
    [[nodiscard]] const std::vector<std::uint8_t>& LeadingData() const { return leadingData_; }

private:
    void EndRecord(bool lineEnded);
    void AddError(std::string text);

    static constexpr std::size_t kMaxRecordText = 1 + 2 * (5 + 255);
    static constexpr std::size_t kLeadingDataBytes = 64;
    static constexpr std::size_t kKeptErrorTexts = 20;

    std::vector<std::uint8_t> bytes_;
    std::string record_;
    bool inRecord_ = false;
    bool recordOverflow_ = false;
    bool endOfFile_ = false;
    std::size_t records_ = 0;
    std::vector<std::string> errors_;
    std::size_t extraErrors_ = 0;
    std::uint32_t base_ = 0;                    // from extended address records
    std::optional<std::uint32_t> nextAddress_;  // where the next data record must start
    std::vector<std::uint8_t> leadingData_;
};

}  // namespace morvane
