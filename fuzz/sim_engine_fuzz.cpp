// The simulated receiver's engine on a fake clock: whatever an updater writes, at whatever rates
// and times, with any of the receiver's fault modes.
//
// Input: one byte of fault modes, one of the starting rate, one of the ">JI" field count, then
// steps: a step byte (low bits: what happens, high bits: the line rate), one byte of time that
// passes, and for a write, a length byte and up to that many bytes.
#include "fuzz/fuzz_support.h"
#include "sim/sim_engine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace morvane;
    using namespace morvane::fuzz;
    CInput input(data, size);
    const std::uint8_t modes = input.Byte();
    SSimOptions options;
    options.rate = kSimRates[input.Byte() % 6];
    options.onlyRate = (modes & 1) != 0 ? options.rate : 0;
    options.silent = (modes & 2) != 0;
    options.garble = (modes & 4) != 0;
    options.badChecksum = (modes & 8) != 0;
    options.noise = (modes & 16) != 0;
    options.seed = modes;
    options.fields = input.Byte() % 10;
    CSimEngine engine(options);

    SimTime now{0};
    std::size_t written = 0;
    while (!input.Empty()) {
        const std::uint8_t step = input.Byte();
        const std::uint32_t lineRate = kSimRates[(step >> 2) % 6];
        now += SimTime(input.Byte() * 16);
        std::string sent;
        switch (step & 3) {
            case 0:
            case 1: {
                const std::string_view bytes = input.Take(input.Byte());
                written += bytes.size();
                sent = engine.Receive(bytes, lineRate, now);
                break;
            }
            case 2: sent = engine.Tick(lineRate, now); break;
            case 3: engine.Finish(now); break;
        }
        // The receiver listens at one of its rates, says nothing when silent, and a transfer
        // keeps no more than it was given.
        FUZZ_CHECK(IsSimRate(engine.Rate()));
        FUZZ_CHECK(!options.silent || sent.empty());
        FUZZ_CHECK(engine.ImageBytes() <= written);
    }

    // The report is JSON with every text escaped: no raw control character inside it.
    const std::string json = SessionJson(engine.Session());
    for (const char c : json) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 || c == '\n');
    FUZZ_CHECK(json.front() == '{' && json.find_last_not_of('\n') == json.rfind('}'));
    return 0;
}
