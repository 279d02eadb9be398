#include "sim/hex_image_check.h"

#include "platform/text.h"

namespace morvane {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::optional<SHexRecord> ParseHexRecord(std::string_view text, std::string* why) {
    auto fail = [why](std::string reason) -> std::optional<SHexRecord> {
        if (why) *why = std::move(reason);
        return std::nullopt;
    };
    if (text.empty() || text[0] != ':') return fail("does not begin with ':'");
    const std::string_view hex = text.substr(1);
    if (hex.size() % 2 != 0) return fail("odd number of hex digits");
    std::vector<std::uint8_t> raw;
    raw.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexDigit(hex[i]);
        const int low = HexDigit(hex[i + 1]);
        if (high < 0 || low < 0) return fail("character that is not a hex digit");
        raw.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    if (raw.size() < 5) return fail("too short");
    if (raw.size() != 5u + raw[0])
        return fail(Format("byte count %u does not fit its length", raw[0]));
    std::uint8_t sum = 0;
    for (std::uint8_t b : raw) sum = static_cast<std::uint8_t>(sum + b);
    if (sum != 0) return fail("bad checksum");

    SHexRecord record;
    record.offset = static_cast<std::uint16_t>((raw[1] << 8) | raw[2]);
    record.type = raw[3];
    record.data.assign(raw.begin() + 4, raw.end() - 1);
    switch (record.type) {
        case kHexData: break;
        case kHexEndOfFile:
            if (!record.data.empty()) return fail("end-of-file record with data");
            break;
        case kHexExtendedSegment:
        case kHexExtendedLinear:
            if (record.data.size() != 2 || record.offset != 0)
                return fail("malformed extended address record");
            break;
        case kHexStartSegment:
        case kHexStartLinear:
            if (record.data.size() != 4) return fail("malformed start address record");
            break;
        default: return fail(Format("unknown record type %02X", record.type));
    }
    return record;
}

CHexImageCheck::Step CHexImageCheck::Put(std::uint8_t c) {
    if (endOfFile_) return Step::Ignored;
    const bool lineEnd = c == '\r' || c == '\n';
    if (!inRecord_) {
        if (c == ':') {
            bytes_.push_back(c);
            inRecord_ = true;
            recordOverflow_ = false;
            record_.assign(1, ':');
            return Step::Taken;
        }
        if (!Started()) return Step::Ignored;
        bytes_.push_back(c);
        if (!lineEnd) AddError(Format("stray byte 0x%02X between records", c));
        return Step::Taken;
    }

    bytes_.push_back(c);
    if (lineEnd) {
        inRecord_ = false;
        EndRecord(/*lineEnded=*/true);
        return endOfFile_ ? Step::EndOfFile : Step::Taken;
    }
    if (c == ':') {
        // A record that lost its line end: count it as broken and start over with this one.
        EndRecord(/*lineEnded=*/false);
        inRecord_ = true;
        recordOverflow_ = false;
        record_.assign(1, ':');
        return Step::Taken;
    }
    if (record_.size() < kMaxRecordText) {
        record_ += static_cast<char>(c);
    } else {
        recordOverflow_ = true;
    }
    return Step::Taken;
}

void CHexImageCheck::EndRecord(bool lineEnded) {
    ++records_;
    const std::size_t number = records_;
    if (!lineEnded) {
        AddError(Format("record %zu: no line end before the next record", number));
        return;
    }
    if (recordOverflow_) {
        AddError(Format("record %zu: longer than any record can be", number));
        return;
    }
    std::string why;
    const std::optional<SHexRecord> record = ParseHexRecord(record_, &why);
    if (!record) {
        AddError(Format("record %zu: %s", number, why.c_str()));
        return;
    }
    switch (record->type) {
        case kHexData: {
            const std::uint32_t address = base_ + record->offset;
            if (nextAddress_ && address != *nextAddress_) {
                AddError(Format("record %zu: address %05X where %05X was due", number, address,
                                *nextAddress_));
            }
            nextAddress_ = address + static_cast<std::uint32_t>(record->data.size());
            for (std::uint8_t b : record->data) {
                if (leadingData_.size() >= kLeadingDataBytes) break;
                leadingData_.push_back(b);
            }
            break;
        }
        case kHexExtendedLinear:
            base_ = static_cast<std::uint32_t>((record->data[0] << 8) | record->data[1]) << 16;
            break;
        case kHexExtendedSegment:
            base_ = static_cast<std::uint32_t>((record->data[0] << 8) | record->data[1]) << 4;
            break;
        case kHexEndOfFile: endOfFile_ = true; break;
        default: break;
    }
}

void CHexImageCheck::AddError(std::string text) {
    if (errors_.size() < kKeptErrorTexts) {
        errors_.push_back(std::move(text));
    } else {
        ++extraErrors_;
    }
}

}  // namespace morvane
