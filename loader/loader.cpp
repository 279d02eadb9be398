#include "loader/loader.h"

#include <algorithm>
#include <string>

#include "loader/port_follower.h"
#include "platform/debug.h"
#include "record/loader_status.h"
#include "res/firmware_image.h"

namespace morvane {

namespace {

std::optional<std::span<const std::uint8_t>> EmbeddedImage() {
    const std::span<const std::uint8_t> image = EmbeddedFirmwareImage();
    if (image.data() == nullptr) return std::nullopt;
    return image;
}

}  // namespace

CLoader::CLoader(SLoaderState* state, LoaderDeps deps)
    : link_(std::move(deps.device)),
      state_(state),
      processor_(nullptr),
      callback_(),
      splitter_(&callback_),
      waits_(deps.waits != nullptr ? *deps.waits : RealWaits()),
      prompt_(deps.prompt),
      image_(deps.image ? std::move(deps.image) : ImageSource(EmbeddedImage)),
      rates_(deps.rates != nullptr ? *deps.rates : ProgramWideRates()),
      follower_(deps.portFollower ? std::move(deps.portFollower)
                                  : std::make_unique<CDiscoveryPortFollower>(state->GetComPort())) {
    state_->SetBaudRate(kWorkingRate);
    processor_ = std::make_unique<CCommandProcessor>(state_);
    callback_.Bind(processor_.get(), &CCommandProcessor::OnReceive);
    state_->SetBlockDelayMs(100);
}

// The link goes with the loader and closes the port if a load left it open.
CLoader::~CLoader() = default;

SReceiverRates& CLoader::ProgramWideRates() {
    static SReceiverRates rates;
    return rates;
}

void CLoader::ResetProgramWideRatesForTesting() {
    ProgramWideRates().probeRate.store(4800);
    ProgramWideRates().sweepRate.store(4800);
}

std::int32_t CLoader::NextRate(std::int32_t rate) {
    const auto* it = std::find(kRates.begin(), kRates.end(), rate);
    if (it == kRates.end() || it + 1 == kRates.end()) return kRates.front();
    return *(it + 1);
}

bool CLoader::DetectBaud(unsigned target) {
    const std::int32_t probe = rates_.probeRate.load();
    const CString baudCommand = Format("$JBAUD,%d", static_cast<int>(target));

    link_.Close();
    // On a port that did not open (a driver still letting go of it, another program) the attempt
    // keeps its time but sends nothing, and it is not the attempt that found the receiver, even
    // when the answer to an earlier one has been read by now.
    const bool opened = link_.Open(state_->GetComPort(), static_cast<unsigned>(probe));
    const auto send = [this, opened](const CString& line) {
        if (opened) link_.WriteLine(line);
    };
    waits_.WaitPumping(500);
    if (static_cast<unsigned>(probe) == target) {
        // At the working rate the receiver is asked who it is; its answer is read after the
        // attempt, so the attempt after this one is the one that reports it.
        waits_.WaitPumping(100);
        send("$JOFF");
        waits_.WaitPumping(200);
        send("$JI");
        waits_.WaitPumping(1000);
    } else {
        // At any other rate a receiver listening there is told to move to the working rate.
        waits_.WaitPumping(100);
        send("$JOFF");
        waits_.WaitPumping(200);
        send(baudCommand);
        waits_.WaitPumping(100);
    }
    rates_.probeRate.store(NextRate(probe));
    return opened && state_->GetReplySeen();
}

void CLoader::ReadReplies() {
    // On a line that carries other traffic too, the answer to "$JI" can sit behind more than
    // one read's worth of it; what is left in the ring would be thrown away by the next
    // attempt's reopen, and a receiver that answered in time would never be detected.
    std::string received;
    char buffer[kReadSize];
    for (int read = 0; read < kReadsPerStep; ++read) {
        const int n = link_.Read(buffer, kReadSize);
        received.append(buffer, static_cast<std::size_t>(std::max(n, 0)));
        if (n < kReadSize) break;
    }
    bytesHeard_ += received.size();
    splitter_.Feed(received.data(), static_cast<int>(received.size()));
}

bool CLoader::ReopenAtWorkingRate() {
    link_.Close();
    return link_.Open(state_->GetComPort(), state_->GetBaudRate());
}

bool CLoader::DeviceGone() {
    portWentAway_ = portWentAway_ || link_.DeviceGone();
    return portWentAway_;
}

bool CLoader::WaitWatchingLine(unsigned ms) {
    while (ms > 0 && !DeviceGone()) {
        const unsigned step = std::min(ms, kLineWatchMs);
        waits_.WaitPumping(step);
        ms -= step;
    }
    return !DeviceGone();
}

void CLoader::ShowMessage(const CString& text) {
    if (prompt_ != nullptr) {
        prompt_->ShowMessage(text);
    } else {
        OutputDebugStringA((text + "\n").c_str());
    }
}

void CLoader::Run() {
    if (!link_.Open(state_->GetComPort(), state_->GetBaudRate())) {
        ShowMessage(kInvalidPortMessage);
        state_->SetStatus(STATUS_INVALID_PORT);
        return;
    }
    state_->SetStatus(STATUS_DETECTING_BAUD);
    state_->SetReplySeen(false);

    if (!DetectWithinAttempts([this] { waits_.Sleep(300); })) {
        state_->SetStatus(STATUS_DEVICE_NOT_DETECTED);
        link_.Close();
        return;
    }
    // Everything from here on goes out at the working rate; if the port will not open again,
    // nothing of it would reach the receiver.
    if (!ReopenAtWorkingRate()) {
        ShowMessage(kInvalidPortMessage);
        state_->SetStatus(STATUS_INVALID_PORT);
        return;
    }
    link_.WriteLine("Baud Rate Detected!");
    state_->SetStatus(STATUS_CONNECTED);
    link_.WriteLine("\r\n$JAPPTRANSFER\r\n");
    waits_.Sleep(1000);
    TransferImage();
    link_.Close();
}

void CLoader::TransferImage() {
    transferComplete_ = false;
    state_->SetStatus(STATUS_UPDATING_FIRMWARE);

    const std::optional<std::span<const std::uint8_t>> image = image_();
    if (!image) {
        state_->SetStatus(STATUS_IMAGE_NOT_FOUND);
        return;
    }
    const std::uint8_t* const bytes = image->data();
    const auto size = static_cast<std::uint32_t>(image->size());
    state_->SetTotalBytes(size);

    // The estimate models wire time at 10 bits per byte plus the pauses; it is not measured.
    // Keep the operations and their precision as they are: the figures shown follow from them.
    const std::uint32_t baudRate = state_->GetBaudRate();
    const std::uint32_t delayMs = state_->GetBlockDelayMs();
    const auto blockSeconds = static_cast<float>(kBlockSize / (baudRate / 10.0));
    const std::uint32_t wireSeconds = size / (baudRate / 10);
    const std::uint32_t fullBlocks = size / kBlockSize;
    const std::uint32_t pauseSeconds = (fullBlocks * delayMs) / 1000;
    state_->SetRemainingSeconds(static_cast<std::int32_t>(wireSeconds + pauseSeconds));
    float elapsed = 0.0F;

    for (std::uint32_t block = 0; block < fullBlocks; ++block) {
        if (!link_.Write(bytes + block * kBlockSize, static_cast<int>(kBlockSize))) {
            // The line is gone (an adapter pulled out, say): what follows would not arrive either.
            (void)DeviceGone();
            state_->SetStatus(STATUS_BLOCK_FAILED);
            return;
        }
        waits_.Sleep(delayMs);
        state_->SetSentBytes((block + 1) * kBlockSize);
        elapsed = static_cast<float>(elapsed + delayMs / 1000.0 + blockSeconds);
        const std::int32_t remaining = static_cast<std::int32_t>(pauseSeconds) -
                                       static_cast<std::int32_t>(elapsed) +
                                       static_cast<std::int32_t>(wireSeconds);
        // The rounding of the running float can take the estimate one second past zero at the
        // end; shown as an unsigned count that would read as billions of seconds.
        state_->SetRemainingSeconds(std::max(remaining, 0));
    }
    const std::uint32_t lastBlock = size % kBlockSize;
    if (lastBlock != 0) {
        if (!link_.Write(bytes + fullBlocks * kBlockSize, static_cast<int>(lastBlock))) {
            (void)DeviceGone();
            state_->SetStatus(STATUS_BLOCK_FAILED);
            return;
        }
        state_->SetSentBytes(state_->GetSentBytes() + lastBlock);
        state_->SetRemainingSeconds(0);
    }
    state_->SetStatus(STATUS_FIRMWARE_COMPLETE);
    transferComplete_ = true;
    ShowMessage("Load Completed\t");
}

}  // namespace morvane
