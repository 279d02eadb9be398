// Real time, real serial device, the simulated receiver on a pseudo-terminal: one whole W6 load
// that must deliver the image byte for byte, and one whose line drops in the middle.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loader/loader_w6.h"
#include "platform/sha256.h"
#include "record/loader_status.h"
#include "res/firmware_image.h"
#include "tests/support/sim_process.h"
#include "tests/support/wire_log.h"

namespace morvane::testing {
namespace {

constexpr int kComPort = 201;

struct Outcome {
    std::int32_t status;
    std::vector<CString> boxes;
    CString firmwareText;
};

Outcome LoadIntoSimulator() {
    CLoader::ResetProgramWideRatesForTesting();
    SLoaderState state;
    state.SetComPort(kComPort);
    RecordingPrompt prompt;
    {
        LoaderDeps deps;
        deps.prompt = &prompt;
        CLoaderW6 loader(&state, std::move(deps));
        loader.Run();
    }
    return {state.GetStatus(), prompt.texts, state.GetFirmwareText()};
}

TEST(LoaderE2E, ReceiverAt115200GetsTheImageByteExact) {
    SimProcess sim(MORVANE_SIM_PATH, kComPort, {"--rate", "115200"});
    ASSERT_TRUE(sim.Ready());

    const Outcome outcome = LoadIntoSimulator();
    EXPECT_EQ(outcome.status, STATUS_FIRMWARE_COMPLETE);
    EXPECT_EQ(outcome.boxes, std::vector<CString>{"Load Completed\t"});
    EXPECT_EQ(outcome.firmwareText, "1.21");  // the version the receiver reported while detected

    EXPECT_EQ(sim.Stop(), 0);
    const std::string report = sim.Report();
    EXPECT_EQ(JsonValue(report, "complete"), "true") << report.substr(report.find("\"transfer\""));
    EXPECT_EQ(JsonValue(report, "bytes_received"), std::to_string(EmbeddedFirmwareImage().size()));
    EXPECT_EQ(JsonValue(report, "sha256"), Sha256Hex(EmbeddedFirmwareImage()));
    EXPECT_EQ(JsonValue(report, "image_matches"), "true");
}

TEST(LoaderE2E, LineDroppedDuringTheTransferFailsTheLoad) {
    SimProcess sim(MORVANE_SIM_PATH, kComPort,
                   {"--rate", "115200", "--hangup-after-bytes", "60000"});
    ASSERT_TRUE(sim.Ready());

    const Outcome outcome = LoadIntoSimulator();
    EXPECT_EQ(outcome.status, STATUS_BLOCK_FAILED);
    EXPECT_TRUE(outcome.boxes.empty());

    EXPECT_EQ(sim.Stop(), 4);  // the simulator dropped the line
    EXPECT_EQ(JsonValue(sim.Report(), "complete"), "false");
}

}  // namespace
}  // namespace morvane::testing
