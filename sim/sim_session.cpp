#include "sim/sim_session.h"

#include <string_view>

#include "platform/text.h"

namespace morvane {

namespace {

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                // Bytes beyond ASCII are taken as Latin-1, so any line the receiver heard is valid
                // JSON.
                if (c < 0x20 || c >= 0x7F) {
                    out += Format("\\u%04x", c);
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
    return out;
}

const char* JsonBool(bool b) { return b ? "true" : "false"; }

}  // namespace

std::string SessionJson(const SSimSession& session) {
    std::string out = "{\"commands\":[";
    for (std::size_t i = 0; i < session.commands.size(); ++i) {
        const SSimCommand& c = session.commands[i];
        out +=
            Format("%s\n  {\"t\":%.3f,\"rate\":%u,\"line\":%s}", i == 0 ? "" : ",",
                   static_cast<double>(c.t.count()) / 1000.0, c.rate, JsonString(c.line).c_str());
    }
    const SSimTransfer& t = session.transfer;
    out += Format(
        "],\n\"transfer\":{\"started\":%s,\"complete\":%s,\"bytes_received\":%zu,\"records\":%zu,"
        "\"errors\":%zu,\"sha256\":%s,\"image_matches\":%s},\n\"version\":%s}\n",
        JsonBool(t.started), JsonBool(t.complete), t.bytesReceived, t.records, t.errors,
        JsonString(t.sha256).c_str(), JsonBool(t.imageMatches),
        JsonString(session.version).c_str());
    return out;
}

int SessionExitStatus(const SSimSession& session, bool noTransferExpected) {
    const SSimTransfer& t = session.transfer;
    if (noTransferExpected) return t.started ? 1 : 0;
    return t.complete && t.errors == 0 && t.imageMatches ? 0 : 1;
}

}  // namespace morvane
