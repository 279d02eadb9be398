#include "res/firmware_image.h"

namespace morvane {

namespace embedded {
// Generated at build time from res/tundro_w6_1.22.hex (res/CMakeLists.txt).
extern const unsigned char kFirmwareImage[];
extern const std::size_t kFirmwareImageSize;
}  // namespace embedded

std::span<const std::uint8_t> EmbeddedFirmwareImage() {
    return {reinterpret_cast<const std::uint8_t*>(embedded::kFirmwareImage),
            embedded::kFirmwareImageSize};
}

}  // namespace morvane
