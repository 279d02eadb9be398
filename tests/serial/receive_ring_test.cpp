#include "serial/receive_ring.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>
#include <vector>

namespace morvane {
namespace {

// One step of a script against an 8-byte ring: store text (expecting how much is kept) or take
// up to n bytes (expecting what comes out); the count held afterwards is checked every step.
struct Step {
    char op;  // 's' store, 't' take
    std::string text;
    int n;
    std::string expectOut;
    int expectKept;
    int expectCount;
};

struct Script {
    const char* name;
    std::vector<Step> steps;
};

TEST(ReceiveRing, Scripts) {
    const Script scripts[] = {
        {"empty take gives nothing", {{'t', "", 4, "", 0, 0}}},
        {"store then take in order", {{'s', "abc", 0, "", 3, 3}, {'t', "", 3, "abc", 0, 0}}},
        {"take larger than held gives what is held",
         {{'s', "abcde", 0, "", 5, 5}, {'t', "", 100, "abcde", 0, 0}, {'t', "", 100, "", 0, 0}}},
        {"take in pieces",
         {{'s', "abcdef", 0, "", 6, 6}, {'t', "", 2, "ab", 0, 4}, {'t', "", 3, "cde", 0, 1}}},
        {"overflow keeps the oldest and drops the newest",
         {{'s', "0123456789", 0, "", 8, 8},
          {'s', "xy", 0, "", 0, 8},
          {'t', "", 8, "01234567", 0, 0}}},
        {"exactly full", {{'s', "01234567", 0, "", 8, 8}, {'t', "", 9, "01234567", 0, 0}}},
        {"store across the end",
         {{'s', "abcdef", 0, "", 6, 6},
          {'t', "", 5, "abcde", 0, 1},
          {'s', "ghijk", 0, "", 5, 6},
          {'t', "", 6, "fghijk", 0, 0}}},
        {"store ending exactly at the end, then from the start",
         {{'s', "abcde", 0, "", 5, 5},
          {'t', "", 5, "abcde", 0, 0},
          {'s', "fgh", 0, "", 3, 3},
          {'s', "ij", 0, "", 2, 5},
          {'t', "", 5, "fghij", 0, 0}}},
        {"overflow after a wrap keeps the free room only",
         {{'s', "abcdef", 0, "", 6, 6},
          {'t', "", 4, "abcd", 0, 2},
          {'s', "0123456789", 0, "", 6, 8},
          {'t', "", 8, "ef012345", 0, 0}}},
        {"nothing stored from an empty chunk", {{'s', "", 0, "", 0, 0}}},
    };
    for (const Script& script : scripts) {
        std::array<char, 8> storage{};
        CReceiveRing ring(storage);
        int stepIndex = 0;
        for (const Step& step : script.steps) {
            SCOPED_TRACE(std::string(script.name) + ", step " + std::to_string(stepIndex++));
            if (step.op == 's') {
                EXPECT_EQ(ring.Store(step.text.data(), static_cast<int>(step.text.size())),
                          step.expectKept);
            } else {
                std::string out(static_cast<std::size_t>(step.n), '\0');
                out.resize(static_cast<std::size_t>(ring.Take(out.data(), step.n)));
                EXPECT_EQ(out, step.expectOut);
            }
            EXPECT_EQ(ring.Count(), step.expectCount);
        }
    }
}

TEST(ReceiveRing, ClearForgetsEverythingAndStartsOver) {
    std::array<char, 8> storage{};
    CReceiveRing ring(storage);
    ring.Store("abcdef", 6);
    ring.Clear();
    EXPECT_EQ(ring.Count(), 0);
    ring.Store("xyz", 3);
    char out[8] = {};
    ASSERT_EQ(ring.Take(out, 8), 3);
    EXPECT_EQ(std::string(out, 3), "xyz");
}

// A storing and a taking thread: every byte arrives once and in order, whatever the interleaving.
TEST(ReceiveRing, ConcurrentStoreAndTakeKeepOrder) {
    std::array<char, 64> storage{};
    CReceiveRing ring(storage);
    constexpr int kTotal = 200000;
    std::thread producer([&ring] {
        char chunk[37];
        int next = 0;
        while (next < kTotal) {
            const int n = std::min<int>(sizeof chunk, kTotal - next);
            for (int i = 0; i < n; ++i) chunk[i] = static_cast<char>((next + i) % 251);
            const int kept = ring.Store(chunk, n);  // what did not fit is offered again
            next += kept;
            if (kept == 0) std::this_thread::yield();
        }
    });
    int received = 0;
    bool inOrder = true;
    char out[29];
    while (received < kTotal) {
        const int n = ring.Take(out, sizeof out);
        for (int i = 0; i < n; ++i)
            inOrder = inOrder && out[i] == static_cast<char>((received + i) % 251);
        received += n;
        if (n == 0) std::this_thread::yield();
    }
    producer.join();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(ring.Count(), 0);
}

}  // namespace
}  // namespace morvane
