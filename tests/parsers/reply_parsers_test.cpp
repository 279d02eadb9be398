#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "parsers/command_processor.h"
#include "tests/parsers/sentence_text.h"

namespace morvane {
namespace {

using testing::WithChecksum;

// What the reply parsers may write, read back from the record.
struct Written {
    bool replySeen = false;
    std::string appName1, appName2, firstAppName2;
    bool appsSeen = false;
    std::int32_t waasPrn1 = -1, waasPrn2 = 0;
    bool waasPrnsSeen = false;
    std::int32_t thisPort = 4;
    std::string loaderVersion;
    bool loaderVersionSeen = false;
    bool changed = false;

    static Written From(const SLoaderState& s) {
        return {s.GetReplySeen(),     s.GetAppName1(),          s.GetAppName2(),
                s.GetFirstAppName2(), s.GetAppsSeen(),          s.GetWaasPrn1(),
                s.GetWaasPrn2(),      s.GetWaasPrnsSeen(),      s.GetThisPort(),
                s.GetLoaderVersion(), s.GetLoaderVersionSeen(), s.IsChanged()};
    }
    bool operator==(const Written&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Written& w) {
    return os << "{replySeen " << w.replySeen << ", apps '" << w.appName1 << "' '" << w.appName2
              << "' first '" << w.firstAppName2 << "' seen " << w.appsSeen << ", waas "
              << w.waasPrn1 << " " << w.waasPrn2 << " seen " << w.waasPrnsSeen << ", thisPort "
              << w.thisPort << ", loader '" << w.loaderVersion << "' seen " << w.loaderVersionSeen
              << ", changed " << w.changed << "}";
}

// Builds the expected record from a fresh one by a few edits.
template <class Edit>
Written Expect(Edit edit) {
    Written w;
    edit(w);
    return w;
}
const Written kNothing{};

struct ParserRow {
    const char* name;
    std::string received;
    Written expected;
};

class ReplyParsers : public ::testing::Test {
protected:
    void SetUp() override { CJappNmeaStringParser::ResetFirstAppReplyForTesting(); }
    void TearDown() override { CJappNmeaStringParser::ResetFirstAppReplyForTesting(); }
};

TEST_F(ReplyParsers, WhatEachReplyWrites) {
    const auto replied = [](Written& w) { w.replySeen = w.changed = true; };
    const auto apps = [](const char* a, const char* b) {
        return Expect([=](Written& w) {
            w.appName1 = a;
            w.appName2 = w.firstAppName2 = b;
            w.appsSeen = w.changed = true;
        });
    };
    const auto prns = [](int a, int b) {
        return Expect([=](Written& w) {
            w.waasPrn1 = a;
            w.waasPrn2 = b;
            w.waasPrnsSeen = w.changed = true;
        });
    };
    const auto port = [](int p) { return Expect([=](Written& w) { w.thisPort = p; }); };
    const auto loader = [](const char* v) {
        return Expect([=](Written& w) {
            w.loaderVersion = v;
            w.loaderVersionSeen = true;
        });
    };

    const ParserRow rows[] = {
        // ">JI": only a reply of seven non-empty fields counts.
        {"JI, seven fields", "$>JI,4815162,1,3,15032024,01/06/2020,31/12/2099,1.22\r\n",
         Expect(replied)},
        {"JI, eight fields", "$>JI,1,2,3,4,5,6,7,8\r\n", Expect(replied)},
        {"JI, with checksum", WithChecksum(">JI,1,2,3,4,5,6,7") + "\r\n", Expect(replied)},
        {"JI, six fields", "$>JI,1,2,3,4,5,6\r\n", kNothing},
        {"JI, seven with one empty", "$>JI,1,2,3,,5,6,7\r\n", kNothing},
        {"JI, no data", "$>JI\r\n", kNothing},

        // ">JAPP": names are stored one by one, so a short reply keeps what came before the gap.
        {"JAPP, two names", "$>JAPP,NAV,GYRO\r\n", apps("NAV", "GYRO")},
        {"JAPP, extra fields ignored", "$>JAPP,NAV,GYRO,MORE\r\n", apps("NAV", "GYRO")},
        {"JAPP, empty first field", "$>JAPP,,NAV,GYRO\r\n", apps("NAV", "GYRO")},
        {"JAPP, address in lower case", "$>japp,Nav,Gyro\r\n", apps("Nav", "Gyro")},
        {"JAPP, one name", "$>JAPP,NAV\r\n", Expect([](Written& w) {
             w.appName1 = "NAV";
             w.changed = true;
         })},
        {"JAPP, empty field and one name", "$>JAPP,,NAV\r\n", Expect([](Written& w) {
             w.appName1 = "NAV";
             w.changed = true;
         })},
        {"JAPP, no data", "$>JAPP\r\n", kNothing},

        // ">JWAASPRN": both numbers are read before either is stored.
        {"WAAS PRN, two numbers", "$>JWAASPRN,120,138\r\n", prns(120, 138)},
        {"WAAS PRN, letters give 0", "$>JWAASPRN,abc,xyz\r\n", prns(0, 0)},
        {"WAAS PRN, sign and trailing text", "$>JWAASPRN, -5,+7x\r\n", prns(-5, 7)},
        {"WAAS PRN, one number", "$>JWAASPRN,120\r\n", kNothing},

        // ">JSHOW": only the exact port line; never raises changed.
        {"JSHOW, PORTA", "$>JSHOW,THISPORT,PORTA\r\n", port(0)},
        {"JSHOW, PORTB", "$>JSHOW,THISPORT,PORTB\r\n", port(1)},
        {"JSHOW, address in lower case", "$>jshow,THISPORT,PORTB\r\n", port(1)},
        {"JSHOW, keyword in lower case", "$>JSHOW,thisport,PORTB\r\n", kNothing},
        {"JSHOW, port in lower case", "$>JSHOW,THISPORT,portb\r\n", kNothing},
        {"JSHOW, other port name", "$>JSHOW,THISPORT,PORTC\r\n", kNothing},
        {"JSHOW, other line with one field", "$>JSHOW,ELEVMASK\r\n", kNothing},
        {"JSHOW, keyword without port", "$>JSHOW,THISPORT\r\n", kNothing},

        // "W6LOADER": only "Version" sentences; never raises changed.
        {"W6LOADER, version", "$W6LOADER,Version,2.04\r\n", loader("2.04")},
        {"W6LOADER, more fields ignored", "$W6LOADER,Version,2.04,BOOT\r\n", loader("2.04")},
        {"W6LOADER, address in lower case", "$w6loader,Version,2.04\r", loader("2.04")},
        {"W6LOADER, with checksum", WithChecksum("W6LOADER,Version,2.04"), loader("2.04")},
        {"W6LOADER, later version replaces", "$W6LOADER,Version,2.03\r$W6LOADER,Version,2.04\r",
         loader("2.04")},
        {"W6LOADER, keyword in capitals", "$W6LOADER,VERSION,2.04\r\n", kNothing},
        {"W6LOADER, other sentence", "$W6LOADER,Erasing,3\r\n", kNothing},
        {"W6LOADER, version without text", "$W6LOADER,Version\r\n", kNothing},

        // A reply given up does not hold up the next one in the same read.
        {"short reply, then a full one", "$>JAPP,NAV\r\n$>JI,1,2,3,4,5,6,7\r\n",
         Expect([](Written& w) {
             w.appName1 = "NAV";
             w.replySeen = w.changed = true;
         })},
    };
    for (const ParserRow& row : rows) {
        CJappNmeaStringParser::ResetFirstAppReplyForTesting();
        SLoaderState state;
        CCommandProcessor processor(&state);
        processor.OnReceive(row.received);
        EXPECT_EQ(Written::From(state), row.expected) << row.name;
    }
}

TEST_F(ReplyParsers, ReplySplitAcrossReadsIsTakenOnceItsEndArrives) {
    const std::string reply = "$>JI,1,2,3,4,5,6,7\r\n";
    for (std::size_t cut = 1; cut < reply.size(); ++cut) {
        SLoaderState state;
        CCommandProcessor processor(&state);
        processor.OnReceive(reply.substr(0, cut));
        EXPECT_EQ(state.GetReplySeen(), cut == reply.size() - 1) << "cut at " << cut;
        processor.OnReceive(reply.substr(cut));
        EXPECT_TRUE(state.GetReplySeen()) << "cut at " << cut;
    }

    SLoaderState state;
    CCommandProcessor processor(&state);
    const std::string checked = WithChecksum(">JAPP,NAV,GYRO") + "\r\n";
    for (const char c : checked) processor.OnReceive(CString(1, c));
    EXPECT_EQ(state.GetAppName2(), "GYRO");
    EXPECT_EQ(processor.GetDispatcher().GetSentence().state, Idle);
}

TEST_F(ReplyParsers, FirstSecondAppNameIsKeptAcrossLoads) {
    SLoaderState state;
    {
        CCommandProcessor firstLoad(&state);
        firstLoad.OnReceive(
            "$>JAPP,NAV\r\n");  // given up before its second name: not the first reply
        firstLoad.OnReceive("$>JAPP,NAV,GYRO\r\n");
        firstLoad.OnReceive("$>JAPP,BASE,ROVER\r\n");
    }
    EXPECT_EQ(state.GetAppName1(), "BASE");
    EXPECT_EQ(state.GetAppName2(), "ROVER");
    EXPECT_EQ(state.GetFirstAppName2(), "GYRO");

    state.Reset();
    CCommandProcessor secondLoad(&state);
    secondLoad.OnReceive("$>JAPP,HEAD,TILT\r\n");
    EXPECT_EQ(state.GetAppName2(), "TILT");
    EXPECT_EQ(state.GetFirstAppName2(), "GYRO");
    EXPECT_TRUE(state.GetAppsSeen());
}

TEST_F(ReplyParsers, JShowAndBootLoaderNeverRaiseChanged) {
    SLoaderState state;
    CCommandProcessor processor(&state);
    processor.OnReceive("$>JSHOW,THISPORT,PORTA\r\n$W6LOADER,Version,2.04\r\n");
    EXPECT_EQ(state.GetThisPort(), 0);
    EXPECT_EQ(state.GetLoaderVersion(), "2.04");
    EXPECT_FALSE(state.TakeChanged());
}

}  // namespace
}  // namespace morvane
