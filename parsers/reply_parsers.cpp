#include "parsers/reply_parsers.h"

#include <atomic>

namespace morvane {
namespace {

CStringArray Fields(const std::string& data) {
    CStringArray fields;
    CNmeaStringParser::Tokenize(data, fields, ",");
    return fields;
}

// True until the first ">JAPP" reply of the program run has been parsed; never set back.
std::atomic<bool> firstAppReply{true};

}  // namespace

// ---- ">JAPP" ---------------------------------------------------------------------------------

CJappNmeaStringParser::CJappNmeaStringParser() { SetHeader(">JAPP"); }

void CJappNmeaStringParser::ResetFirstAppReplyForTesting() { firstAppReply.store(true); }

void CJappNmeaStringParser::Parse(std::string data) {
    const CStringArray fields = Fields(data);
    loaderState_->SetAppName1(fields.at(0));
    loaderState_->SetAppName2(fields.at(1));
    if (firstAppReply.load()) {
        loaderState_->SetFirstAppName2(fields.at(1));
        firstAppReply.store(false);
    }
    loaderState_->SetAppsSeen(true);
}

// ---- ">JI" -----------------------------------------------------------------------------------

CJINmeaStringParser::CJINmeaStringParser() { SetHeader(">JI"); }

void CJINmeaStringParser::Parse(std::string data) {
    const CStringArray fields = Fields(data);
    // Only a full answer counts: a reply without its seventh field is given up here.
    static_cast<void>(fields.at(6));
    loaderState_->SetReplySeen(true);
}

// ---- ">JWAASPRN" -----------------------------------------------------------------------------

CJWaasPRNNmeaStringParser::CJWaasPRNNmeaStringParser() { SetHeader(">JWAASPRN"); }

void CJWaasPRNNmeaStringParser::Parse(std::string data) {
    const CStringArray fields = Fields(data);
    // Both numbers are read before either is stored, so a one-field reply changes nothing.
    const int prn1 = AtoI(fields.at(0));
    const int prn2 = AtoI(fields.at(1));
    loaderState_->SetWaasPrn1(prn1);
    loaderState_->SetWaasPrn2(prn2);
    loaderState_->SetWaasPrnsSeen(true);
}

// ---- ">JSHOW" --------------------------------------------------------------------------------

CJShowNmeaStringParser::CJShowNmeaStringParser() { SetHeader(">JSHOW"); }

void CJShowNmeaStringParser::Parse(std::string data) {
    const CStringArray fields = Fields(data);
    // ">JSHOW" reports many things; only the port line matters here. The data keeps the case
    // it was sent in, so the keyword must match exactly. Not shown while loading: no `changed`.
    if (fields.at(0) != "THISPORT") return;
    const std::string& port = fields.at(1);
    if (port == "PORTA") {
        loaderState_->SetThisPort(0);
    } else if (port == "PORTB") {
        loaderState_->SetThisPort(1);
    }
}

// ---- "W6LOADER" ------------------------------------------------------------------------------

CW6LoaderNmeaStringParser::CW6LoaderNmeaStringParser() { SetHeader("W6LOADER"); }

void CW6LoaderNmeaStringParser::Parse(std::string data) {
    const CStringArray fields = Fields(data);
    // The boot loader's other sentences are ignored. Not shown while loading: no `changed`.
    if (fields.at(0) != "Version") return;
    loaderState_->SetLoaderVersion(fields.at(1));
    loaderState_->SetLoaderVersionSeen(true);
}

}  // namespace morvane
