// morvane-cli's arguments: any words a script or a user may type.
//
// Input: the words, separated by line feeds (the program's name is put first).
#include <vector>

#include "cli/cli_args.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace morvane;
    using namespace morvane::fuzz;
    CInput input(data, size);
    std::vector<std::string> args = {"morvane-cli"};
    while (!input.Empty()) args.emplace_back(input.Until('\n'));

    const CliOptions o = ParseCommandLine(args);
    switch (o.action) {
        case CliAction::Load:
            // Exactly one way of naming the port, and a usable one; a watch finds its ports
            // itself and takes only numbers beside them; --all-probed finds them and takes none.
            if (o.watch) {
                FUZZ_CHECK(o.portPath.empty() && (o.comPort > 0) == !o.comPorts.empty());
            } else if (o.allProbed) {
                FUZZ_CHECK(o.comPort == 0 && o.portPath.empty() && o.comPorts.empty());
            } else {
                FUZZ_CHECK((o.comPort > 0) != !o.portPath.empty());
            }
            FUZZ_CHECK(o.outText.empty() && o.errText.empty());
            break;
        case CliAction::LineCheck:
            // The port whose lines are joined, named one way.
            FUZZ_CHECK((o.comPort > 0) != !o.portPath.empty());
            break;
        case CliAction::List:
        case CliAction::History:
            // Nothing is loaded: no port is named.
            FUZZ_CHECK(o.comPort == 0 && o.portPath.empty() && !o.trace);
            break;
        case CliAction::Exit:
            // A usage error says why on stderr; help and version go to stdout with status 0.
            FUZZ_CHECK(o.exitStatus == 0 || o.exitStatus == 1);
            FUZZ_CHECK(o.exitStatus == 0 ? !o.outText.empty() : !o.errText.empty());
            break;
    }
    return 0;
}
