// What both windows' tests put behind the dialog's controller: the ports the test lists, no record
// of loads (the user's file stays untouched), the test's power service, and a scripted loader
// that counts the loads started. Each reads the test's values when used, not when set.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "app/window_controller.h"
#include "tests/support/scripted_loader.h"

namespace morvane::testing {

inline void UseTestSeams(CWindowController& controller, const std::vector<SSerInfo>& ports,
                         IPowerService& power, const CScriptedLoader::Script& script,
                         std::atomic<int>& loadsStarted) {
    controller.SetPortDiscovery([&ports](CArray<SSerInfo, SSerInfo&>& list) { list = ports; });
    controller.SetLoaderFactory([&script, &loadsStarted](SLoaderState* state, LoaderDeps deps) {
        ++loadsStarted;
        return std::unique_ptr<CLoaderW6>(
            std::make_unique<CScriptedLoader>(state, std::move(deps), script));
    });
    controller.SetLoadLog({false, {}});
    controller.SetPowerService(&power);
}

}  // namespace morvane::testing
