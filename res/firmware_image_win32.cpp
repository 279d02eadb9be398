// On Windows the image is the program's resource of type "BIN", id 181, read in place from the
// loaded module.
#include <windows.h>

#include "res/firmware_image.h"

namespace morvane {
namespace {

constexpr WORD kImageResourceId = 181;
constexpr const char* kImageResourceType = "BIN";

}  // namespace

std::span<const std::uint8_t> EmbeddedFirmwareImage() {
    HMODULE self = ::GetModuleHandleA(nullptr);
    HRSRC found = ::FindResourceA(self, MAKEINTRESOURCEA(kImageResourceId), kImageResourceType);
    if (found == nullptr) return {};
    HGLOBAL loaded = ::LoadResource(self, found);
    if (loaded == nullptr) return {};
    const void* bytes = ::LockResource(loaded);
    if (bytes == nullptr) return {};
    return {static_cast<const std::uint8_t*>(bytes), ::SizeofResource(self, found)};
}

}  // namespace morvane
