#include "parsers/command_processor.h"

#include <cstddef>
#include <exception>
#include <string_view>

#include "platform/debug.h"

namespace morvane {
namespace {

// Where the version text starts, relative to the end of the matched reply text.
constexpr std::ptrdiff_t kAtLastCharacter = -1;  // the blank that ends the reply text
constexpr std::ptrdiff_t kRightAfter = 0;

struct SVersionReply {
    std::string_view pattern;
    std::ptrdiff_t start;  // relative to the end of the pattern
    char stop;             // copying stops before this character
    int limit;             // ... or when this many characters have been copied in all
};

// The version replies of the receiver family. The first two name the device on their own; one
// of the others may add to what they found.
constexpr SVersionReply kStage1[] = {
    {"Brenna Gyro Version ", kAtLastCharacter, '\n', 5},
    {"Plomb Version ", kAtLastCharacter, '\n', 5},
};
constexpr SVersionReply kStage2[] = {
    {"KOB ", 10, '\n', 5},
    {"Kavrel Version ", kAtLastCharacter, '\n', 5},
    {"$MIRDA,VERSION,", kRightAfter, ',', 10},
    {"$W6,VERSION,", 2, ',', 10},  // one character and a comma come before the version
    {"$>JVERSION,K415,", kRightAfter, ',', 10},
    {"$>JVERSION,QMT,", kRightAfter, ',', 10},
};

// Copies from the row's start position until its stop character, its limit of characters in
// all, or the end of the text. A start at or beyond the end copies nothing.
void CopyVersion(const CString& text, std::size_t found, const SVersionReply& row, CString& copy,
                 int& count) {
    const std::ptrdiff_t start =
        static_cast<std::ptrdiff_t>(found + row.pattern.size()) + row.start;
    for (std::size_t pos = static_cast<std::size_t>(start);
         pos < text.size() && text[pos] != row.stop && count < row.limit; ++pos) {
        copy += text[pos];
        ++count;
    }
}

}  // namespace

CCommandProcessor::CCommandProcessor(SLoaderState* state) : loaderState_(state) {
    for (CNmeaStringParser* parser : {static_cast<CNmeaStringParser*>(&jappParser_),
                                      static_cast<CNmeaStringParser*>(&jiParser_),
                                      static_cast<CNmeaStringParser*>(&waasPrnParser_),
                                      static_cast<CNmeaStringParser*>(&jshowParser_),
                                      static_cast<CNmeaStringParser*>(&bootLoaderParser_)}) {
        parser->SetLoaderState(loaderState_);
    }
    // Every sentence is offered to the parsers in this order; each answers to one address.
    dispatcher_.AddParser(&jappParser_);        // ">JAPP"      application names
    dispatcher_.AddParser(&jiParser_);          // ">JI"        the answer to "$JI"
    dispatcher_.AddParser(&waasPrnParser_);     // ">JWAASPRN"  correction satellites
    dispatcher_.AddParser(&jshowParser_);       // ">JSHOW"     the receiver's port
    dispatcher_.AddParser(&bootLoaderParser_);  // "W6LOADER"   boot loader version
}

void CCommandProcessor::OnReceive(CString text) noexcept {
    if (text.empty()) return;
    for (const char character : text) dispatcher_.PutChar(character);
    try {
        CheckFirmwareVersion(text);
    } catch (const std::exception& e) {
        // Only running out of memory gets here; the version is optional, the load goes on.
        OutputDebugStringA("<firmware check: ");
        OutputDebugStringA(e.what());
        OutputDebugStringA(">\n");
    }
}

void CCommandProcessor::CheckFirmwareVersion(const CString& text) {
    CString copy;
    int count = 0;  // shared by both stages: a second match continues the first copy

    auto publish = [&] {
        // The text goes first, so whoever sees the flag raised finds the text it belongs to.
        loaderState_->SetFirmwareText(copy);
        loaderState_->SetFirmwareDetected(true);
    };

    for (const SVersionReply& row : kStage1) {
        const std::size_t found = text.find(row.pattern);
        if (found == CString::npos) continue;
        CopyVersion(text, found, row, copy, count);
        publish();
        break;
    }

    for (const SVersionReply& row : kStage2) {
        const std::size_t found = text.find(row.pattern);
        if (found == CString::npos) continue;
        CopyVersion(text, found, row, copy, count);
        publish();
        return;
    }
}

}  // namespace morvane
