// What the fuzz targets share: a check that stops the run with the input kept, and a reader that
// cuts the input into the pieces a target needs.
//
// Each target is one LLVMFuzzerTestOneInput. The fuzz build links it with libFuzzer; the normal
// build links it with replay_main.cpp, which runs the committed seed inputs as a test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// A broken invariant is a finding like a crash: libFuzzer keeps the input that caused it.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace morvane::fuzz {

// Hands out the input from the front: single bytes that steer the target, then pieces of it.
class CInput {
public:
    CInput(const std::uint8_t* data, std::size_t size)
        : text_(reinterpret_cast<const char*>(data), size) {}

    [[nodiscard]] bool Empty() const { return text_.empty(); }
    [[nodiscard]] std::string_view Rest() const { return text_; }

    // The next byte, or 0 when the input is used up.
    std::uint8_t Byte() {
        if (text_.empty()) return 0;
        const auto b = static_cast<std::uint8_t>(text_.front());
        text_.remove_prefix(1);
        return b;
    }
    // Up to `n` bytes.
    std::string_view Take(std::size_t n) {
        const std::string_view piece = text_.substr(0, n);
        text_.remove_prefix(piece.size());
        return piece;
    }
    // Up to the next `separator` (dropped), or the rest.
    std::string_view Until(char separator) {
        const std::size_t at = text_.find(separator);
        const std::string_view piece = text_.substr(0, at);
        text_.remove_prefix(at == std::string_view::npos ? text_.size() : at + 1);
        return piece;
    }

private:
    std::string_view text_;
};

// Chunk sizes for cutting a byte stream the way reads from a port cut it: mostly short, now and
// then longer than one read of the loader (1024 bytes). Steered by one seed byte so the fuzzer
// can try other cuts of the same bytes.
class CChunkSizes {
public:
    explicit CChunkSizes(std::uint8_t seed) : state_(seed * 2654435761u + 1) {}
    std::size_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return (state_ & 7) == 0 ? state_ % 1500 : state_ % 24;
    }

private:
    std::uint32_t state_;
};

}  // namespace morvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
