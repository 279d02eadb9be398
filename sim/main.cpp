// morvane-sim: a Tundro W6 receiver in software, on a pseudo-terminal or an existing serial
// device.
//
// The first line on stdout is the path of the device the updater opens (or the device served),
// and a line "restarting" follows each time the receiver restarts into new firmware; everything
// else goes to stderr as a log. Exit status: 0 when a complete, faultless copy of the expected
// image arrived (with --no-transfer-expected: when no transfer was attempted), 1 when not, 2 for a
// bad command line, 3 when the line or the report could not be set up, 4 after
// --hangup-after-bytes dropped the line.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/text.h"
#include "res/firmware_image.h"
#include "sim/sim_engine.h"
#include "sim/sim_line.h"

namespace {

constexpr int kExitBadCommandLine = 2;
constexpr int kExitSetupFailed = 3;
constexpr int kExitHungUp = 4;

std::atomic<bool> g_stop{false};

void OnStopSignal(int) { g_stop.store(true); }

void InstallSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

void LogLine(const std::string& line) { std::fprintf(stderr, "morvane-sim %s\n", line.c_str()); }

// Writes beside the target and renames, so a reader never sees half a report.
bool WriteReport(const std::string& path, const morvane::SSimSession& session) {
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << morvane::SessionJson(session);
        if (!out.good()) return false;
    }
    return std::rename(temp.c_str(), path.c_str()) == 0;
}

}  // namespace

// Only an allocation failure can escape here; ending with abort() is then the right outcome.
int main(int argc, char** argv) {  // NOLINT(bugprone-exception-escape)
    CLI::App app{
        "Simulated Tundro W6 receiver on a pseudo-terminal, or on a serial device. Prints the "
        "path of the device to open (or served) as the first line on stdout, logs to stderr, runs "
        "until SIGINT or SIGTERM.\n"
        "Exit status: 0 a complete, faultless copy of the expected image arrived (with "
        "--no-transfer-expected: no transfer was attempted); 1 otherwise; 2 bad command line; "
        "3 the line or the report could not be set up; 4 --hangup-after-bytes dropped the line.",
        "morvane-sim"};
    app.set_version_flag(
        "--version", std::string("morvane-sim, from Morvane Firmware Updater ") + MORVANE_VERSION,
        "Print the version, then exit");
    const std::vector<std::uint32_t> rates(std::begin(morvane::kSimRates),
                                           std::end(morvane::kSimRates));

    morvane::SSimOptions sim;
    morvane::SSimLineOptions line;
    std::uint32_t onlyRate = 0;
    std::string reportPath;
    std::string imagePath;
    bool noTransferExpected = false;

    app.add_option("--rate", sim.rate, "Rate the receiver listens at when it starts (default 9600)")
        ->check(CLI::IsMember(rates));
    app.add_option("--only-rate", onlyRate,
                   "Listen at this rate only and ignore \"$JBAUD\" (overrides --rate)")
        ->check(CLI::IsMember(rates));
    app.add_option(
           "--com", line.comPort,
           "Make $MORVANE_DEVICES/comN a link to the device (removed on exit), so the updater finds "
           "the receiver as COM N")
        ->check(CLI::Range(1, 255));
    app.add_option("--device", line.device,
                   "Serve this serial device instead of a pseudo-terminal: the receiver's end of a "
                   "cable crossed to the updater's adapter, or a USB gadget's port; refused while "
                   "another program holds it")
        ->type_name("PATH");
    app.add_flag("--usb-native", sim.usbNative,
                 "The receiver has a USB port of its own: it answers at whatever rate the "
                 "updater's side is set to, and its device keeps the rate it has");
    app.add_option("--gadget", line.gadget,
                   "With --device and --drop-port-on-restart: the configfs folder of the USB "
                   "gadget that plays the device's USB port; it leaves the bus while the receiver "
                   "restarts, and comes back on the same controller")
        ->type_name("DIR");
    app.add_option(
        "--report", reportPath,
        "Write a JSON summary here: the commands seen (time, line rate, text) and the transfer "
        "result; rewritten after each transfer and at exit");
    app.add_option("--fields", sim.fields, "Data fields of the \">JI\" reply (default 7)")
        ->check(CLI::Range(0, 64));
    app.add_option("--firmware-version", sim.firmwareVersion,
                   "Firmware version reported before an image arrives (default 1.21)");
    app.add_option(
        "--loader-version", sim.loaderVersion,
        "Boot loader version in the \"W6LOADER\" sentence sent on \"$JAPPTRANSFER\" (default 2.05)");
    app.add_option(
           "--image", imagePath,
           "Intel HEX file a transfer must deliver byte for byte (default: the image the updater carries)")
        ->check(CLI::ExistingFile);
    app.add_flag("--silent", sim.silent, "Never send anything");
    app.add_flag(
        "--garble", sim.garble,
        "Bytes sent at a rate other than the receiver's arrive garbled instead of vanishing");
    app.add_flag("--bad-checksum", sim.badChecksum, "Every sentence carries a wrong \"*hh\"");
    app.add_flag("--noise", sim.noise, "Random bytes between sentences");
    app.add_option("--seed", sim.seed, "Seed for --noise and --garble (default 1)");
    app.add_flag("--split", line.split, "Send each reply in small pieces a few milliseconds apart");
    app.add_option(
           "--hangup-after-bytes", line.hangupAfterBytes,
           "Drop the line in the middle of the transfer after N image bytes, as an unplugged cable "
           "would, and exit with status 4")
        ->check(CLI::PositiveNumber);
    app.add_option("--corrupt-after-bytes", sim.corruptAfterBytes,
                   "Alter one hex digit of the image after N image bytes, in every transfer, as "
                   "line noise would: the receiver rejects the image and stays in its boot loader")
        ->check(CLI::PositiveNumber);
    app.add_flag("--no-transfer-expected", noTransferExpected,
                 "Exit with status 0 when no transfer was attempted (and 1 when one was)");
    app.add_flag("--exit-after-transfer", line.exitAfterTransfer,
                 "Exit on its own once a transfer is over: when the updater closes the port, or "
                 "3 s after the end-of-file record (not with --drop-port-on-restart)");
    double dropSeconds = 0;
    app.add_option("--drop-port-on-restart", dropSeconds,
                   "When the receiver restarts into the new firmware after a good image, close the "
                   "pseudo-terminal and remove the COM link (or close the --device), as a receiver "
                   "with a USB serial port of its own drops its port; come back SECONDS later on a "
                   "new pseudo-terminal under the same link (or on the device)")
        ->option_text("SECONDS")
        ->check(CLI::PositiveNumber);
    try {
        app.parse(argc, argv);
        // Checked here rather than declared to the parser, which would print the rule in the
        // help's option column.
        if (line.exitAfterTransfer && dropSeconds > 0)
            throw CLI::ExcludesError("--exit-after-transfer", "--drop-port-on-restart");
        if (!line.device.empty() && line.comPort != 0)
            throw CLI::ValidationError(
                "--com",
                "links the simulator's own pseudo-terminal; with --device the updater "
                "opens its own end of the line");
        if (!line.gadget.empty() && (line.device.empty() || dropSeconds <= 0))
            throw CLI::ValidationError("--gadget",
                                       "takes the --device's USB port off the bus while the "
                                       "receiver restarts: give --device and "
                                       "--drop-port-on-restart too");
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? 0 : kExitBadCommandLine;
    }
    sim.onlyRate = onlyRate;
    line.dropPortOnRestart = morvane::SimTime(static_cast<long long>(dropSeconds * 1000.0));

    std::vector<std::uint8_t> imageFromFile;
    if (!imagePath.empty()) {
        std::ifstream in(imagePath, std::ios::binary);
        imageFromFile.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) {
            LogLine("cannot read " + imagePath);
            return kExitSetupFailed;
        }
        sim.expectedImage = imageFromFile;
    } else {
        sim.expectedImage = morvane::EmbeddedFirmwareImage();
    }
    sim.log = LogLine;
    line.log = LogLine;

    InstallSignals();
    morvane::CSimEngine engine(sim);
    bool reportFailed = false;
    if (!reportPath.empty()) {
        line.onTransferEnded = [&] { reportFailed |= !WriteReport(reportPath, engine.Session()); };
    }
    // Whoever plays the receiver's USB port (a test machine's adapter) takes it off the bus
    // while the receiver restarts: it reads this line as the moment to do so.
    line.onRestart = [] {
        std::printf("restarting\n");
        std::fflush(stdout);
    };
    morvane::CSimLine port(engine, line);
    std::string error;
    if (!port.Open(&error)) {
        LogLine(error);
        return kExitSetupFailed;
    }
    std::printf("%s\n", port.DevicePath().c_str());
    std::fflush(stdout);
    const std::string rate = sim.usbNative ? std::string("any rate (a USB port of its own)")
                                           : morvane::Format("%u baud", engine.Rate());
    LogLine(morvane::Format("listening on %s at %s%s%s, firmware %s", port.DevicePath().c_str(),
                            rate.c_str(), port.LinkPath().empty() ? "" : ", linked as ",
                            port.LinkPath().c_str(), engine.Version().c_str()));

    const morvane::SimRunEnd end = port.Run(g_stop);
    port.Close();
    const morvane::SSimSession session = engine.Session();
    if (!reportPath.empty()) reportFailed |= !WriteReport(reportPath, session);
    if (reportFailed) {
        LogLine("cannot write the report " + reportPath);
        return kExitSetupFailed;
    }
    if (end == morvane::SimRunEnd::Failed) return kExitSetupFailed;
    if (end == morvane::SimRunEnd::HungUp) return kExitHungUp;
    return morvane::SessionExitStatus(session, noTransferExpected);
}
