// SHA-256, small and self-contained: the fingerprint of a firmware image. The simulated receiver
// takes it of the image it received, so a test can tell at a glance whether every byte arrived
// as sent; the record of a load names the image the program carried by it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace morvane {

class CSha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    CSha256();
    void Update(std::span<const std::uint8_t> bytes);
    void Update(std::string_view text);
    // Ends the message; the object must be Reset before it is used again.
    [[nodiscard]] Digest Finish();
    void Reset();

private:
    void Compress(const std::uint8_t* block);

    std::array<std::uint32_t, 8> h_{};
    std::array<std::uint8_t, 64> block_{};
    std::size_t blockLength_ = 0;
    std::uint64_t totalBytes_ = 0;
};

// Lower-case hex of a whole message's digest.
[[nodiscard]] std::string Sha256Hex(std::span<const std::uint8_t> bytes);
[[nodiscard]] std::string Sha256Hex(std::string_view text);
[[nodiscard]] std::string DigestHex(const CSha256::Digest& digest);

}  // namespace morvane
