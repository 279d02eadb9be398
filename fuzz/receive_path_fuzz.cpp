// The receive path as a load drives it: bytes from the port, cut into reads of any size, through
// the splitter and the callback into the command processor (framer, dispatcher, reply parsers,
// firmware version check).
//
// Input: one byte that steers where the reads are cut, then the received bytes.
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "loader/callback.h"
#include "loader/receive_splitter.h"
#include "parsers/command_processor.h"
#include "record/loader_state.h"

namespace morvane::fuzz {
namespace {

// A load's receive path, wired as the loader wires it.
struct SReceivePath {
    SLoaderState state;
    CCommandProcessor processor{&state};
    TCallback<CCommandProcessor> callback{&processor, &CCommandProcessor::OnReceive};
    CReceiveSplitter splitter{&callback};

    void Feed(std::string_view bytes) {
        splitter.Feed(bytes.data(), static_cast<int>(bytes.size()));
        CheckFramer();
    }

    void CheckFramer() const {
        const SNmeaSentence& s = processor.GetDispatcher().GetSentence();
        FUZZ_CHECK(s.state >= Idle && s.state <= ChecksumLow);
        if (s.state == Address) {
            FUZZ_CHECK(s.length >= 0 && s.length < SNmeaSentence::kAddressSize);
        }
        if (s.state == Data) {
            FUZZ_CHECK(s.length >= 0 && s.length < SNmeaSentence::kDataSize);
            FUZZ_CHECK(std::strlen(s.address) < SNmeaSentence::kAddressSize);
        }
    }

    // What the parsers made of the sentences. Not part of it: the version check, which looks at
    // one read at a time, and the first reply's application name, which is kept once per
    // program run.
    [[nodiscard]] std::string Parsed() const {
        const SNmeaSentence& s = processor.GetDispatcher().GetSentence();
        return std::to_string(s.state) + "|" + std::to_string(state.GetReplySeen()) + "|" +
               std::to_string(state.GetAppsSeen()) + state.GetAppName1() + "|" +
               state.GetAppName2() + "|" + std::to_string(state.GetWaasPrnsSeen()) +
               std::to_string(state.GetWaasPrn1()) + "," + std::to_string(state.GetWaasPrn2()) +
               "|" + std::to_string(state.GetThisPort()) + "|" +
               std::to_string(state.GetLoaderVersionSeen()) + state.GetLoaderVersion();
    }
};

}  // namespace
}  // namespace morvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace morvane;
    using namespace morvane::fuzz;
    CInput input(data, size);
    CChunkSizes cuts(input.Byte());
    const std::string_view received = input.Rest();

    SReceivePath path;
    while (!input.Empty()) {
        path.Feed(input.Take(cuts.Next()));
        // The version text is cut short wherever it comes from.
        FUZZ_CHECK(path.state.GetFirmwareText().size() <= 10);
        const std::int32_t port = path.state.GetThisPort();
        FUZZ_CHECK(port == 0 || port == 1 || port == 4);
    }

    // Where the reads were cut makes no difference to the sentences found.
    SReceivePath whole;
    whole.Feed(received);
    FUZZ_CHECK(whole.Parsed() == path.Parsed());

    // Whatever the line brought, CR LF ends it, and a good answer to "$JI" is then heard.
    path.Feed("\r\n");
    FUZZ_CHECK(path.processor.GetDispatcher().GetSentence().state == Idle);
    path.state.SetReplySeen(false);
    path.Feed("$>JI,311062,11,7,20052004,01/01/1900,01/01/2099,W6*");
    path.Feed("4B\r\n");
    FUZZ_CHECK(path.state.GetReplySeen());
    return 0;
}
