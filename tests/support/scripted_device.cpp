#include "tests/support/scripted_device.h"

#include <algorithm>
#include <string>
#include <utility>

#include "sim/sim_engine.h"

namespace morvane::testing {

std::string SentenceWithChecksum(const std::string& body) { return MakeSentence(body); }

std::string JiAnswer(int fields, bool badChecksum) {
    static const char* const kFields[] = {"311062",     "11",         "7", "20052004",
                                          "01/01/1900", "01/01/2099", "W6"};
    std::string body = ">JI";
    for (int i = 0; i < fields && i < 7; ++i) body += std::string(",") + kFields[i];
    return MakeSentence(body, badChecksum);
}

bool ScriptedDevice::Open(int port) {
    open_ = false;  // whatever was open is closed first, as a real device does
    ++opens_;
    lastPort = port;
    const bool gone = Gone();
    const bool ok = !gone && !script_.refusesOpen && opens_ != script_.failOpenAt;
    openError_ = OpenError{};
    if (gone) {
        openError_ = {
            OpenErrorKind::NoSuchDevice, kScriptedDevicePath, "No such file or directory", 2, {}};
    } else if (!ok) {
        openError_ = script_.refusal;
    } else {
        open_ = true;
        pending_.clear();
        due_.clear();
        line_.clear();
        openedAtMs_ = log_.nowMs;
        chatterArrived_ = 0;
        InitCommState();
    }
    log_.lineOpen = open_;
    log_.lineRate = lineSettings.BaudRate;
    WireEvent& e = log_.Add(WireEvent::Kind::Open);
    e.result = ok;
    e.length = port;
    return ok;
}

bool ScriptedDevice::InitCommState() {
    if (!open_) return false;
    lineSettings = SLineSettings{};
    lineSettings.BaudRate = 9600;
    lineSettings.ByteSize = 8;
    lineSettings.fBinary = true;
    lineSettings.fDtrControl = DtrControl::Enable;
    lineSettings.fRtsControl = RtsControl::Enable;
    return true;
}

bool ScriptedDevice::SetHandshake(bool enable) {
    log_.Add(WireEvent::Kind::SetHandshake).length = enable ? 1 : 0;
    if (!open_) return false;
    lineSettings.fOutxCtsFlow = false;
    lineSettings.fOutxDsrFlow = false;
    lineSettings.fDtrControl = DtrControl::Enable;
    lineSettings.fRtsControl = RtsControl::Enable;
    return true;
}

bool ScriptedDevice::ApplyCommState() {
    if (open_) log_.lineRate = lineSettings.BaudRate;
    log_.Add(WireEvent::Kind::Apply).result = open_;
    return open_;
}

bool ScriptedDevice::Write(const void* data, int length) {
    ++writes_;
    const int block = length > 1 ? ++blockWrites_ : 0;
    if (block != 0 && script_.dropAfterBlockBytes >= 0 &&
        blockBytes_ + length > script_.dropAfterBlockBytes) {
        dropped_ = true;
    }
    if (block != 0) blockBytes_ += length;
    const bool ok = open_ && !Gone() && !(script_.failWrite && script_.failWrite(writes_, block));
    WireEvent& e = log_.Add(WireEvent::Kind::Write);
    e.length = length;
    e.bytes.assign(static_cast<const char*>(data), static_cast<std::size_t>(std::max(length, 0)));
    e.result = ok;
    if (ok && length == 1) {
        const char c = *static_cast<const char*>(data);
        if (c == '\n') {
            if (!line_.empty() && line_.back() == '\r') line_.pop_back();
            OnLine(line_);
            line_.clear();
        } else {
            line_ += c;
        }
    }
    return ok;
}

namespace {
const std::string kChatter =
    SentenceWithChecksum("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,");
}

void ScriptedDevice::Arrive(const std::string& bytes) {
    const std::size_t room = static_cast<std::size_t>(kBufferSize) - pending_.size();
    pending_ += bytes.substr(0, room);  // a full ring drops the newest bytes
}

void ScriptedDevice::Advance() {
    if (!open_) return;
    const std::uint64_t due = (log_.nowMs - openedAtMs_) *
                              static_cast<std::uint64_t>(script_.chatterBytesPerSecond) / 1000;
    for (; chatterArrived_ < due; ++chatterArrived_) {
        const std::size_t at = chatterArrived_ % kChatter.size();
        if (at == 0 && !due_.empty()) Arrive(std::exchange(due_, {}));
        Arrive(kChatter.substr(at, 1));
    }
    if (chatterArrived_ % kChatter.size() == 0 && !due_.empty()) Arrive(std::exchange(due_, {}));
}

void ScriptedDevice::OnLine(const std::string& line) {
    if (script_.answerRate == 0 || lineSettings.BaudRate != script_.answerRate) return;
    if (script_.silentAfterImage && blockWrites_ > 0) return;
    static const std::string kJBaud = "$JBAUD,";
    if (script_.followsJBaud && line.starts_with(kJBaud)) {
        script_.answerRate = static_cast<std::uint32_t>(std::stoul(line.substr(kJBaud.size())));
        return;
    }
    if (line != "$JI") return;
    Advance();
    due_ += JiAnswer(script_.jiFields, script_.badChecksum);
    if (script_.sendVersion) due_ += VersionSentence(script_.firmwareVersion);
    Advance();
}

int ScriptedDevice::Read(char* buffer, int length) {
    int n = 0;
    Advance();
    if (open_) {
        n = std::min(length, static_cast<int>(pending_.size()));
        std::copy_n(pending_.begin(), n, buffer);
        pending_.erase(0, static_cast<std::size_t>(n));
    }
    WireEvent& e = log_.Add(WireEvent::Kind::Read);
    e.length = length;
    e.bytes.assign(buffer, static_cast<std::size_t>(n));
    return n;
}

void ScriptedDevice::Close() {
    log_.Add(WireEvent::Kind::Close);
    open_ = false;
    log_.lineOpen = false;
}

std::vector<std::string> Condense(const std::vector<WireEvent>& events) {
    using K = WireEvent::Kind;
    std::vector<std::string> out;
    auto escaped = [](const std::string& s) {
        std::string r;
        for (const char c : s) r += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
        return r;
    };
    bool inTransfer = false;  // between obtaining the image and the box, every write is a block
    for (std::size_t i = 0; i < events.size(); ++i) {
        const WireEvent& e = events[i];
        if (e.kind == K::Image) inTransfer = true;
        if (e.kind == K::Box || e.kind == K::Close) inTransfer = false;
        switch (e.kind) {
            case K::Open:
                if (!e.result) {
                    out.push_back("open failed");
                } else if (i + 2 < events.size() && events[i + 1].kind == K::SetHandshake &&
                           events[i + 2].kind == K::Apply) {
                    out.push_back("open " + std::to_string(events[i + 2].rate));
                    i += 2;
                } else {
                    out.push_back("open");
                }
                break;
            case K::Close: out.push_back("close"); break;
            case K::SetHandshake: out.push_back("handshake"); break;
            case K::Apply: out.push_back("apply"); break;
            case K::Write:
                if (e.length == 1 && e.result && !inTransfer) {
                    std::string text = e.bytes;
                    while (i + 1 < events.size() && events[i + 1].kind == K::Write &&
                           events[i + 1].length == 1 && events[i + 1].result &&
                           events[i + 1].rate == e.rate) {
                        text += events[++i].bytes;
                    }
                    out.push_back("send@" + std::to_string(e.rate) + " " + escaped(text));
                } else {
                    out.push_back("block@" + std::to_string(e.rate) + " " +
                                  std::to_string(e.length) + (e.result ? "" : " failed"));
                }
                break;
            case K::Read: out.push_back("read " + std::to_string(e.length)); break;
            case K::WaitPumping: out.push_back("pump " + std::to_string(e.length)); break;
            case K::Sleep: out.push_back("sleep " + std::to_string(e.length)); break;
            case K::Box: out.push_back("box " + escaped(e.bytes)); break;
            case K::Image: out.push_back("image"); break;
        }
    }
    return out;
}

}  // namespace morvane::testing
