// The Intel HEX record decoder and the image check the simulated receiver takes an image with.
//
// Input: the bytes of an image as they would arrive on the line.
#include <cstdio>

#include "fuzz/fuzz_support.h"
#include "sim/hex_image_check.h"
#include "sim/sim_engine.h"

namespace {

// A decoded record written out again, in upper-case hex.
std::string Encode(const morvane::SHexRecord& r) {
    std::string text = ":";
    char hex[3];
    unsigned sum = 0;
    auto put = [&](unsigned byte) {
        std::snprintf(hex, sizeof hex, "%02X", byte & 0xFF);
        text += hex;
        sum += byte;
    };
    put(static_cast<unsigned>(r.data.size()));
    put(r.offset >> 8);
    put(r.offset & 0xFF);
    put(r.type);
    for (const std::uint8_t b : r.data) put(b);
    put(0x100 - (sum & 0xFF));
    return text;
}

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace morvane;
    using namespace morvane::fuzz;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    // Every line that decodes is exactly the record it decodes to.
    for (CInput lines(data, size); !lines.Empty();) {
        std::string_view line = lines.Until('\n');
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::string why;
        const std::optional<SHexRecord> record = ParseHexRecord(line, &why);
        if (record) {
            FUZZ_CHECK(Upper(line) == Encode(*record));
        } else {
            FUZZ_CHECK(!why.empty());
        }
    }

    CHexImageCheck check;
    std::size_t taken = 0;
    bool ended = false;
    for (const char c : bytes) {
        if (ended) break;
        const CHexImageCheck::Step step = check.Put(static_cast<std::uint8_t>(c));
        taken += step == CHexImageCheck::Step::Ignored ? 0 : 1;
        ended = step == CHexImageCheck::Step::EndOfFile;
    }
    // Only what was taken is kept, from the first ':' on; the other tallies stay bounded.
    FUZZ_CHECK(check.Bytes().size() == taken);
    FUZZ_CHECK(taken == 0 || check.Bytes().front() == ':');
    FUZZ_CHECK(check.EndOfFileSeen() == ended);
    FUZZ_CHECK(check.LeadingData().size() <= 64);
    FUZZ_CHECK(check.ErrorTexts().size() <= check.Errors());
    FUZZ_CHECK(check.Records() <= taken);
    const std::string version = VersionFromImageHeader(check.LeadingData());
    FUZZ_CHECK(version.size() <= check.LeadingData().size());
    return 0;
}
