// Port names: the tidying every port discovery method ends with, the COM number of a port's name,
// and the mapping between COM numbers and devices.
//
// Input: records of four fields (port name, friendly name, description, device path), each
// field ended by a line feed.
#include "fuzz/fuzz_support.h"
#include "serial/com_port_map.h"
#include "serial/com_port_tidy.h"
#include "serial/port_identity.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace morvane;
    using namespace morvane::fuzz;
    CInput input(data, size);

    CArray<SSerInfo, SSerInfo&> list;
    std::size_t named = 0;
    while (!input.Empty()) {
        SSerInfo port;
        port.portName = CString(input.Until('\n'));
        port.friendlyName = CString(input.Until('\n'));
        port.description = CString(input.Until('\n'));
        port.devicePath = CString(input.Until('\n'));
        named += port.portName.empty() ? 0 : 1;
        list.push_back(port);

        // Every name maps back to the number it came from, and only canonical names map at all.
        for (const std::string_view name :
             {std::string_view(port.portName), std::string_view(port.friendlyName),
              std::string_view(port.devicePath)}) {
            if (const std::optional<int> n = ComPortForTtyName(name)) {
                FUZZ_CHECK(*n >= 1 && *n <= 192);
                FUZZ_CHECK(TtyNameForComPort(*n) == std::string(name));
                FUZZ_CHECK(DevicePathForComPort(*n, "/nonexistent") == "/dev/" + std::string(name));
            }
            if (const std::optional<int> n = ComPortForDevicesEntry(name)) {
                FUZZ_CHECK(*n >= 1);
                FUZZ_CHECK("com" + std::to_string(*n) == name);
            }
            if (const std::optional<int> n = ComNumberOfName(name)) {
                FUZZ_CHECK(*n >= 1 && EqualsNoCase(ComPortName(*n), name));
            }
            (void)ComNumberInFriendlyName(name);
        }
    }
    const std::size_t before = list.size();
    TidyComPortList(list);
    // Records that had a port name all stay; every record left has all its names.
    FUZZ_CHECK(list.size() >= named && list.size() <= before);
    for (const SSerInfo& port : list) {
        FUZZ_CHECK(!port.portName.empty() && !port.friendlyName.empty());
        FUZZ_CHECK(!port.description.empty());
    }
    return 0;
}
