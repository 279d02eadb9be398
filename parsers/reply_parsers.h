// The receiver's replies that the updater understands, one small parser each. Every parser reads
// its fields by number from the comma-separated data; a reply with too few fields is given up at
// the first missing one, after whatever the parser stored before it.
#pragma once

#include <string>

#include "parsers/nmea_string_parser.h"

namespace morvane {

// $>JAPP,NAV,GYRO        the two applications installed on the receiver
class CJappNmeaStringParser final : public CNmeaStringParser {
public:
    CJappNmeaStringParser();
    void Parse(std::string data) override;

    // The second application name of the first reply is kept once per program run, across
    // loads; tests start a fresh "run" with this.
    static void ResetFirstAppReplyForTesting();
};

// $>JI,4815162,1,3,15032024,01/06/2020,31/12/2099,1.22,W6        the answer to "$JI"
class CJINmeaStringParser final : public CNmeaStringParser {
public:
    CJINmeaStringParser();
    void Parse(std::string data) override;
};

// $>JWAASPRN,120,138        the two satellite numbers the receiver tracks for corrections
class CJWaasPRNNmeaStringParser final : public CNmeaStringParser {
public:
    CJWaasPRNNmeaStringParser();
    void Parse(std::string data) override;
};

// $>JSHOW,THISPORT,PORTB        which of its ports the PC is plugged into
class CJShowNmeaStringParser final : public CNmeaStringParser {
public:
    CJShowNmeaStringParser();
    void Parse(std::string data) override;
};

// $W6LOADER,Version,2.04        the boot loader announcing itself
class CW6LoaderNmeaStringParser final : public CNmeaStringParser {
public:
    CW6LoaderNmeaStringParser();
    void Parse(std::string data) override;
};

}  // namespace morvane
