#include "sim/sim_engine.h"

#include <algorithm>

#include "platform/sha256.h"
#include "platform/text.h"

namespace morvane {

namespace {

bool IsLineEnd(std::uint8_t c) { return c == '\r' || c == '\n'; }

// A received line as the log shows it: bytes outside printable ASCII as \xNN.
std::string Printable(std::string_view text) {
    std::string out;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7F) {
            out += ch;
        } else {
            out += Format("\\x%02X", c);
        }
    }
    return out;
}

bool IsHexDigit(std::uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

// The fields of the identification reply: serial number, hardware and board revisions, build
// date, subscription start and end, firmware version, then spare fields for longer replies.
constexpr const char* kJiFields[] = {"3118062", "1", "7", "27052024", "01/01/1900", "01/01/3007"};

}  // namespace

bool IsSimRate(std::uint32_t rate) {
    return std::find(std::begin(kSimRates), std::end(kSimRates), rate) != std::end(kSimRates);
}

std::string MakeSentence(std::string_view body, bool badChecksum) {
    std::uint8_t sum = 0;
    for (char c : body) sum ^= static_cast<std::uint8_t>(c);
    if (badChecksum) sum = static_cast<std::uint8_t>(sum + 1);
    return Format("$%.*s*%02X\r\n", static_cast<int>(body.size()), body.data(), sum);
}

CSimEngine::CSimEngine(SSimOptions options)
    : options_(std::move(options)),
      rate_(options_.onlyRate != 0 ? options_.onlyRate : options_.rate),
      version_(options_.firmwareVersion),
      random_(options_.seed) {}

std::string CSimEngine::Receive(std::string_view bytes, std::uint32_t lineRate, SimTime now) {
    SettleRestart(now);
    if (mode_ == Mode::Restarting) {
        lineFeedDue_ = false;
        if (!bytes.empty())
            Log(now, Format("%6u baud  %zu byte(s) not heard: restarting", lineRate, bytes.size()));
        return {};
    }
    std::string out;
    std::size_t dropped = 0;
    std::uint32_t droppedAtRate = rate_;
    for (char ch : bytes) {
        const auto c = static_cast<std::uint8_t>(ch);
        if (lineFeedDue_) {
            // The LF of a line that ended in CR belongs to that line, even when the line moved
            // the receiver to another rate.
            lineFeedDue_ = false;
            if (c == '\n' && lineRate == lineFeedRate_) continue;
        }
        if (Hears(lineRate)) {
            Put(c, lineRate, now, out);
        } else if (options_.garble) {
            Put(Garble(c), lineRate, now, out);
        } else {
            if (dropped == 0) droppedAtRate = rate_;
            ++dropped;
        }
    }
    if (dropped != 0) {
        droppedBytes_ += dropped;
        Log(now, Format("%6u baud  %zu byte(s) of line noise (listening at %u)", lineRate, dropped,
                        droppedAtRate));
    }
    return out;
}

void CSimEngine::Put(std::uint8_t c, std::uint32_t lineRate, SimTime now, std::string& out) {
    if (awaitingLineFeed_) {
        awaitingLineFeed_ = false;
        if (c == '\n') {
            image_.PutTrailing(c);
            EndTransfer(now);
            return;
        }
        EndTransfer(now);
    }
    // What follows a good image in the same burst arrives while the receiver restarts.
    if (mode_ == Mode::Restarting) return;
    if (mode_ == Mode::Transfer) {
        PutTransfer(c, lineRate, now, out);
        return;
    }
    PutLineChar(c, lineRate, now, out);
}

// A command line grows up to its end; an overlong one is remembered and dropped at its end.
void CSimEngine::PutLineChar(std::uint8_t c, std::uint32_t lineRate, SimTime now,
                             std::string& out) {
    if (IsLineEnd(c)) {
        EndLine(c, lineRate, now, out);
    } else if (line_.size() < kMaxLine) {
        line_ += static_cast<char>(c);
    } else {
        lineOverflow_ = true;
    }
}

void CSimEngine::PutTransfer(std::uint8_t c, std::uint32_t lineRate, SimTime now,
                             std::string& out) {
    if (lineInTransfer_) {
        PutLineChar(c, lineRate, now, out);
        return;
    }
    // Between records the boot loader still hears commands, so an updater that starts over
    // after a broken transfer finds the receiver again.
    if (c == '$' && image_.AtRecordBoundary()) {
        lineInTransfer_ = true;
        line_.assign(1, '$');
        return;
    }
    if (options_.corruptAfterBytes != 0 && !corrupted_ &&
        image_.Bytes().size() >= options_.corruptAfterBytes && IsHexDigit(c)) {
        corrupted_ = true;
        const std::uint8_t altered = c == '0' ? '1' : '0';
        Log(now, Format("image byte %zu altered on the line: '%c' arrives as '%c'",
                        image_.Bytes().size(), c, altered));
        c = altered;
    }
    if (image_.Put(c) == CHexImageCheck::Step::EndOfFile) {
        if (c == '\r') {
            awaitingLineFeed_ = true;
            endOfFileAt_ = now;
        } else {
            EndTransfer(now);
        }
    }
}

void CSimEngine::EndLine(std::uint8_t end, std::uint32_t lineRate, SimTime now, std::string& out) {
    if (end == '\r') {
        lineFeedDue_ = true;
        lineFeedRate_ = lineRate;
    }
    std::string line = std::move(line_);
    line_.clear();
    const bool overflow = lineOverflow_;
    lineOverflow_ = false;
    lineInTransfer_ = false;
    if (line.empty()) return;
    if (overflow) {
        Log(now, Format("%6u baud  overlong line dropped", lineRate));
        return;
    }
    HandleCommand(line, lineRate, now, out);
}

void CSimEngine::HandleCommand(const std::string& raw, std::uint32_t lineRate, SimTime now,
                               std::string& out) {
    // Garbled bytes before the "$" are what is left of noise on the line, not part of the command.
    const std::size_t dollar = raw.find('$');
    const std::string line = dollar == std::string::npos ? raw : raw.substr(dollar);
    commands_.push_back({now, lineRate, line});

    std::string command = line;
    if (command.size() >= 3 && command[command.size() - 3] == '*')
        command.resize(command.size() - 3);

    std::string note;
    if (EqualsNoCase(command, "$JOFF")) {
        periodic_ = false;
    } else if (EqualsNoCase(command, "$JI")) {
        if (InBootLoader()) {
            // No application to name a version: the boot loader names itself.
            Send(out, JiBody("-"));
            Send(out, "W6LOADER,Version," + options_.loaderVersion);
            note = "(answered by the boot loader)";
        } else {
            Send(out, JiBody(version_));
            Send(out, "W6,VERSION,A," + version_ + ",TUNDRO W6");
        }
    } else if (StartsWithNoCase(command, "$JBAUD,")) {
        const int requested = AtoI(std::string_view(command).substr(7));
        if (options_.onlyRate != 0) {
            note = Format("(ignored: this receiver stays at %u)", rate_);
        } else if (requested <= 0 || !IsSimRate(static_cast<std::uint32_t>(requested))) {
            note = "(ignored: not a rate of this receiver)";
        } else {
            rate_ = static_cast<std::uint32_t>(requested);
            note = Format("(now listening at %u)", rate_);
        }
    } else if (EqualsNoCase(command, "$JCONN,X") || EqualsNoCase(command, "$JCONN,A,C") ||
               EqualsNoCase(command, "$W6,CONNECT_TO_GPS") ||
               EqualsNoCase(command, "$JCLEARAPPINT")) {
        // Port routing and application housekeeping: nothing the line shows.
    } else if (EqualsNoCase(command, "$JAPPTRANSFER")) {
        mode_ = Mode::Transfer;
        image_.Reset();
        corrupted_ = false;
        transferStarted_ = true;
        transferEnded_ = false;
        awaitingLineFeed_ = false;
        note = "(boot loader waits for the image)";
        Send(out, "W6LOADER,Version," + options_.loaderVersion);
    } else {
        note = "(ignored)";
    }
    Log(now, Format("%6u baud  %s%s%s", lineRate, Printable(line).c_str(), note.empty() ? "" : "  ",
                    note.c_str()));
}

void CSimEngine::EndTransfer(SimTime now) {
    lineInTransfer_ = false;
    line_.clear();
    transferEnded_ = true;
    transferEndedAt_ = now;
    const SSimTransfer t = Session().transfer;
    for (const std::string& error : image_.ErrorTexts()) Log(now, "transfer error: " + error);
    Log(now, Format("transfer complete: %zu bytes, %zu records, %zu errors, sha256 %s, %s",
                    t.bytesReceived, t.records, t.errors, t.sha256.c_str(),
                    t.imageMatches ? "image matches" : "image DIFFERS from the expected one"));
    if (t.errors != 0) {
        mode_ = Mode::BootLoader;
        Log(now, "image rejected: the receiver stays in its boot loader");
        return;
    }
    const std::string version = VersionFromImageHeader(image_.LeadingData());
    if (!version.empty()) version_ = version;
    mode_ = Mode::Restarting;
    restartEndsAt_ = now + kRestartTime;
    Log(now, "image accepted: restarting into firmware " + version_);
}

void CSimEngine::SettleRestart(SimTime now) {
    if (mode_ != Mode::Restarting || now < restartEndsAt_) return;
    // The new firmware starts as the receiver does at power-on: at its starting rate, with the
    // periodic output on.
    mode_ = Mode::Application;
    rate_ = options_.onlyRate != 0 ? options_.onlyRate : options_.rate;
    periodic_ = true;
    nextPeriodic_ = now;
    line_.clear();
    lineOverflow_ = false;
    Log(now, Format("running firmware %s, listening at %u", version_.c_str(), rate_));
}

void CSimEngine::Finish(SimTime now) {
    if (awaitingLineFeed_) {
        awaitingLineFeed_ = false;
        EndTransfer(now);
    } else if (mode_ == Mode::Transfer) {
        const SSimTransfer t = Session().transfer;
        for (const std::string& error : image_.ErrorTexts()) Log(now, "transfer error: " + error);
        Log(now, Format("transfer INCOMPLETE: %zu bytes, %zu records, %zu errors", t.bytesReceived,
                        t.records, t.errors));
    }
}

std::string CSimEngine::Tick(std::uint32_t lineRate, SimTime now) {
    if (awaitingLineFeed_ && now - endOfFileAt_ >= kLineFeedWait) {
        awaitingLineFeed_ = false;
        EndTransfer(now);
    }
    SettleRestart(now);
    if (!periodic_ || mode_ != Mode::Application || now < nextPeriodic_) return {};
    nextPeriodic_ += kPeriod;
    if (nextPeriodic_ <= now) nextPeriodic_ = now + kPeriod;
    std::string out;
    Send(out, PositionBody(now));
    if (!Hears(lineRate)) {
        if (!options_.garble) return {};
        for (char& c : out) c = static_cast<char>(Garble(static_cast<std::uint8_t>(c)));
    }
    return out;
}

void CSimEngine::Send(std::string& out, std::string_view body) {
    if (options_.silent) return;
    if (options_.noise) {
        // Anything but "$", which would open a sentence of its own.
        const int count = 1 + static_cast<int>(random_() % 6);
        for (int i = 0; i < count; ++i) {
            auto c = static_cast<char>(random_() & 0xFF);
            if (c == '$') c = '#';
            out += c;
        }
    }
    out += MakeSentence(body, options_.badChecksum);
}

std::string CSimEngine::JiBody(const std::string& version) const {
    std::string body = ">JI";
    for (int i = 0; i < options_.fields; ++i) {
        body += ',';
        const auto n = static_cast<std::size_t>(i);
        if (n < std::size(kJiFields)) {
            body += kJiFields[n];
        } else if (n == std::size(kJiFields)) {
            body += version;
        } else {
            body += Format("%d", i);
        }
    }
    return body;
}

std::string CSimEngine::PositionBody(SimTime now) const {
    const long long seconds = 12 * 3600 + now.count() / 1000;
    return Format("GPGGA,%02lld%02lld%02lld.00,5130.1234,N,00007.5678,W,1,08,0.9,45.0,M,47.0,M,,",
                  (seconds / 3600) % 24, (seconds / 60) % 60, seconds % 60);
}

std::uint8_t CSimEngine::Garble(std::uint8_t) {
    // What a UART makes of a byte at the wrong rate: nothing like the byte, and never a "$" or a
    // line end that could pass for part of a command.
    return static_cast<std::uint8_t>(0x80 | (random_() & 0x7F));
}

void CSimEngine::Log(SimTime now, const std::string& text) const {
    if (options_.log)
        options_.log(
            Format("%9.3f s  %s", static_cast<double>(now.count()) / 1000.0, text.c_str()));
}

SSimSession CSimEngine::Session() const {
    SSimSession session;
    session.commands = commands_;
    session.version = Version();
    SSimTransfer& t = session.transfer;
    t.started = transferStarted_;
    t.complete = image_.EndOfFileSeen();
    t.bytesReceived = image_.Bytes().size();
    t.records = image_.Records();
    t.errors = image_.Errors();
    if (t.started) {
        t.sha256 = Sha256Hex(image_.Bytes());
        t.imageMatches = std::ranges::equal(image_.Bytes(), options_.expectedImage);
    }
    return session;
}

std::string VersionFromImageHeader(std::span<const std::uint8_t> leadingData) {
    static constexpr std::string_view kMarker = "APPLICATION FIRMWARE ";
    const std::string_view text(reinterpret_cast<const char*>(leadingData.data()),
                                leadingData.size());
    const std::size_t at = text.find(kMarker);
    if (at == std::string_view::npos) return {};
    std::string version;
    for (std::size_t i = at + kMarker.size(); i < text.size() && version.size() < 16; ++i) {
        const char c = text[i];
        if (c <= 0x20 || c >= 0x7F) break;
        version += c;
    }
    return version;
}

}  // namespace morvane
