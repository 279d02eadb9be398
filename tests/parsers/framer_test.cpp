#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "parsers/nmea_string_dispatcher.h"
#include "tests/parsers/sentence_text.h"

namespace morvane {
namespace {

using testing::ChecksumOf;
using testing::WithChecksum;

// Notes every sentence it is offered as "header:data" in a log shared with its siblings.
class CRecordingParser final : public CNmeaStringParser {
public:
    CRecordingParser(const std::string& newHeader, std::vector<std::string>& log) : log_(log) {
        SetHeader(newHeader);
    }
    void Parse(std::string data) override { log_.push_back(GetHeader() + ":" + data); }

private:
    std::vector<std::string>& log_;
};

const std::string kAddress15 = "ABCDEFGHIJKLMNO";

struct Framer {
    std::vector<std::string> log;
    CRecordingParser ji{">JI", log};
    CRecordingParser japp{">JAPP", log};
    CRecordingParser shortAddress{">J", log};
    CRecordingParser longAddress{kAddress15, log};
    CNmeaStringDispatcher dispatcher;

    Framer() {
        for (CNmeaStringParser* p :
             {static_cast<CNmeaStringParser*>(&ji), static_cast<CNmeaStringParser*>(&japp),
              static_cast<CNmeaStringParser*>(&shortAddress),
              static_cast<CNmeaStringParser*>(&longAddress)}) {
            dispatcher.AddParser(p);
        }
    }
    void Put(const std::string& text) {
        for (const char c : text) dispatcher.PutChar(c);
    }
};

struct FramerRow {
    const char* name;
    std::string input;
    std::vector<std::string> dispatched;
};

TEST(Framer, GoodAndBadSentences) {
    const std::string x255(255, 'x');
    const std::string x256(256, 'x');
    const FramerRow rows[] = {
        {"plain reply ended by CR LF", "$>JI,1,2,3,4,5,6,7\r\n", {">JI:1,2,3,4,5,6,7"}},
        {"right checksum", WithChecksum(">JI,1,2,3,4,5,6,7") + "\r\n", {">JI:1,2,3,4,5,6,7"}},
        {"wrong checksum", "$>JI,1,2,3,4,5,6,7*20\r\n", {}},
        // 6F written "6f": the two digit values OR-ed together would give 6F again.
        {"lower-case checksum", WithChecksum(">JAPP,NAV,GYRO", true) + "\r\n", {}},
        {"lower-case wrong checksum", "$>JI,a,b*1e\r\n", {}},  // 3E
        {"non-hex character as a digit", "$>JI,xj*0:\r\n", {}},
        {"checksum 03", "$>JI,xj*03\r\n", {">JI:xj"}},
        {"checksum needs no CR", WithChecksum(">JI,a"), {">JI:a"}},
        {"text after the checksum is dropped",
         WithChecksum(">JI,a") + "junk\r\n$>JI,b\r",
         {">JI:a", ">JI:b"}},
        {"address upper-cased, data keeps its case", "$>japp,Nav,gyro\r\n", {">JAPP:Nav,gyro"}},
        {"checksum over the address as sent", WithChecksum(">jI,a"), {">JI:a"}},
        {"checksum over the upper-cased address fails",
         "$>jI,a*" + Format("%02X", ChecksumOf(">JI,a")),
         {}},
        {"empty data on CR", "$>JAPP\r\n", {">JAPP:"}},
        {"empty data with checksum", WithChecksum(">JAPP"), {">JAPP:"}},
        {"unknown address", "$>JX,1\r\n", {}},
        {"text between sentences", "noise\r\n,*\r$>JI,a\r\nmore", {">JI:a"}},
        {"15-character address", "$" + kAddress15 + ",d\r", {kAddress15 + ":d"}},
        {"16th address character abandons", "$" + kAddress15 + "P$>JI,ok\r", {">JI:ok"}},
        {"255 data characters", "$>JI," + x255 + "\r", {">JI:" + x255}},
        {"256th data character abandons", "$>JI," + x256 + "$>JI,ok\r", {">JI:ok"}},
        {"LF alone does not end a sentence", "$>JI,a\n$>JAPP,b\r\n", {">JI:a\n$>JAPP,b"}},
        {"broken-off sentence runs into the next",
         "$>JAPP,$>JI,1,2,3,4,5,6,7\r\n",
         {">JAPP:$>JI,1,2,3,4,5,6,7"}},
        {"star then CR LF takes them as digits", "$>JI,a*\r\n$>JI,b\r", {">JI:b"}},
        {"dollar in a checksum position", "$>JI,a*$>JI,b\r\n$>JI,c\r", {">JI:c"}},
        {"zero byte in the data cuts the field", std::string("$>JI,ab\0cd\r", 11), {">JI:ab"}},
        {"zero byte in the address cuts it", std::string("$>J\0I,x\r", 8), {">J:x"}},
    };
    for (const FramerRow& row : rows) {
        Framer f;
        f.Put(row.input);
        EXPECT_EQ(f.log, row.dispatched) << row.name;
    }
}

TEST(Framer, ChecksummedSentenceIsDispatchedOnItsSecondDigit) {
    Framer f;
    const std::string sentence = WithChecksum(">JI,1,2,3,4,5,6,7");
    for (std::size_t i = 0; i + 1 < sentence.size(); ++i) {
        f.dispatcher.PutChar(sentence[i]);
        ASSERT_TRUE(f.log.empty()) << "after character " << i;
    }
    f.dispatcher.PutChar(sentence.back());
    EXPECT_EQ(f.log, std::vector<std::string>{">JI:1,2,3,4,5,6,7"});
    EXPECT_EQ(f.dispatcher.GetSentence().state, Idle);
}

TEST(Framer, AbandonsAtTheLimitsAndWaitsForTheNextDollar) {
    Framer f;
    f.Put("$" + kAddress15);
    EXPECT_EQ(f.dispatcher.GetSentence().state, Address);
    f.Put("P");
    EXPECT_EQ(f.dispatcher.GetSentence().state, Idle);

    f.Put("$>JI," + std::string(255, 'x'));
    EXPECT_EQ(f.dispatcher.GetSentence().state, Data);
    f.Put("x");
    EXPECT_EQ(f.dispatcher.GetSentence().state, Idle);
    f.Put(",1,2\r\n");
    EXPECT_TRUE(f.log.empty());
}

TEST(Framer, StateOutsideItsRangeCountsAsIdle) {
    Framer f;
    f.dispatcher.SentenceForTesting().state = 7;
    f.Put("$>JI,lost\r");  // the "$" is dropped while the state is set right
    f.Put("$>JI,kept\r");
    EXPECT_EQ(f.log, std::vector<std::string>{">JI:kept"});
}

TEST(Framer, EveryParserWithTheHeaderIsCalledInOrder) {
    std::vector<std::string> log;
    CRecordingParser first{">JI", log};
    CRecordingParser other{">JAPP", log};
    CRecordingParser second{">JI", log};
    CNmeaStringDispatcher dispatcher;
    dispatcher.AddParser(&first);
    dispatcher.AddParser(&other);
    dispatcher.AddParser(&second);
    for (const char c : std::string("$>JI,a\r")) dispatcher.PutChar(c);
    EXPECT_EQ(log, (std::vector<std::string>{">JI:a", ">JI:a"}));
}

TEST(Framer, WithoutParsersNothingHappens) {
    CNmeaStringDispatcher dispatcher;
    for (const char c : std::string("$>JI,a\r")) dispatcher.PutChar(c);
    EXPECT_EQ(dispatcher.GetSentence().state, Idle);
}

TEST(Tokenize, KeepsOnlyNonEmptyFields) {
    struct Row {
        std::string text;
        std::string delimiters;
        std::vector<std::string> fields;
    };
    const Row rows[] = {
        {"NAV,GYRO", ",", {"NAV", "GYRO"}},
        {",,NAV,,,GYRO,", ",", {"NAV", "GYRO"}},
        {"", ",", {}},
        {",,,", ",", {}},
        {"single", ",", {"single"}},
        {" a , b ", ",", {" a ", " b "}},
        {"a;b,c", ",;", {"a", "b", "c"}},
    };
    for (const Row& row : rows) {
        CStringArray fields;
        CNmeaStringParser::Tokenize(row.text, fields, row.delimiters);
        EXPECT_EQ(fields, row.fields) << '"' << row.text << '"';
    }
}

TEST(Tokenize, AppendsToWhatTheListHolds) {
    CStringArray fields{"kept"};
    CNmeaStringParser::Tokenize("a,b", fields, ",");
    EXPECT_EQ(fields, (CStringArray{"kept", "a", "b"}));
}

}  // namespace
}  // namespace morvane
