#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <string>

#include "parsers/command_processor.h"

namespace morvane {
namespace {

// Pseudo-random bytes, weighted towards what the framer and parsers react to, so the run
// reaches every state with sentences of every length, broken-off or not.
std::string NoiseChunk(std::mt19937& rng, std::size_t size) {
    static const std::string kPieces[] = {
        "$",
        ",",
        "*",
        "\r",
        "\n",
        "$>JI,",
        "$>JAPP,",
        "$>JWAASPRN,",
        "$>JSHOW,THISPORT,",
        "$W6LOADER,Version,",
        "PORTA",
        "0",
        "7F",
        std::string(1, '\0'),
        "Kavrel Version ",
        "KOB ",
        "$W6,VERSION,",
        "$>JVERSION,QMT,",
        "Plomb Version ",
        ",,,,,,,",
    };
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_int_distribution<int> piece(0, static_cast<int>(std::size(kPieces)) - 1);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string chunk;
    while (chunk.size() < size) {
        if (kind(rng) < 3) {
            chunk += kPieces[piece(rng)];
        } else {
            chunk += static_cast<char>(byte(rng));
        }
    }
    return chunk;
}

TEST(Fuzz, RandomTrafficNeverEscapesOnReceive) {
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<std::size_t> chunkSize(0, 400);
    SLoaderState state;
    CCommandProcessor processor(&state);
    std::size_t total = 0;
    while (total < 400000) {
        const std::string chunk = NoiseChunk(rng, chunkSize(rng));
        total += chunk.size();
        processor.OnReceive(chunk);
        const SNmeaSentence& s = processor.GetDispatcher().GetSentence();
        ASSERT_GE(s.state, Idle);
        ASSERT_LE(s.state, ChecksumLow);
        // Between sentences `length` may still hold the count that abandoned the last one.
        const int bound = s.state == Address ? SNmeaSentence::kAddressSize
                          : s.state == Data  ? SNmeaSentence::kDataSize
                                             : SNmeaSentence::kDataSize + 1;
        ASSERT_LT(s.length, bound);
    }

    // The noise did reach the parsers, not only the framer.
    EXPECT_TRUE(state.GetAppsSeen() || state.GetWaasPrnsSeen() || state.GetLoaderVersionSeen());
    EXPECT_TRUE(state.GetFirmwareDetected());

    // Whatever state the noise left, one CR LF brings the framer back to waiting for "$".
    state.SetReplySeen(false);
    processor.OnReceive("\r\n$>JI,1,2,3,4,5,6,7\r\n");
    EXPECT_TRUE(state.GetReplySeen());
}

}  // namespace
}  // namespace morvane
