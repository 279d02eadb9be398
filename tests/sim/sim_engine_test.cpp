#include "sim/sim_engine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "parsers/command_processor.h"
#include "platform/sha256.h"
#include "record/loader_state.h"
#include "res/firmware_image.h"

namespace morvane {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

SSimOptions Options() {
    SSimOptions o;
    o.expectedImage = EmbeddedFirmwareImage();
    return o;
}

std::string ImageText() {
    const auto image = EmbeddedFirmwareImage();
    return {reinterpret_cast<const char*>(image.data()), image.size()};
}

// The sentences in what the receiver sent, each from its "$" up to, not including, CR LF.
std::vector<std::string> Sentences(const std::string& out) {
    std::vector<std::string> result;
    std::size_t at = 0;
    while ((at = out.find('$', at)) != std::string::npos) {
        const std::size_t end = out.find("\r\n", at);
        result.push_back(out.substr(at, end - at));
        at = end;
    }
    return result;
}

bool ChecksumRight(const std::string& sentence) {
    const std::size_t star = sentence.rfind('*');
    if (sentence.size() < 4 || sentence[0] != '$' || star != sentence.size() - 3) return false;
    std::uint8_t sum = 0;
    for (std::size_t i = 1; i < star; ++i) sum ^= static_cast<std::uint8_t>(sentence[i]);
    return sentence.substr(star + 1) == Format("%02X", sum);
}

// What the updater's own receive path makes of the bytes: was the receiver found, and which
// firmware did it name?
struct UpdaterView {
    bool replySeen;
    bool firmwareDetected;
    std::string firmwareText;
};
UpdaterView AsTheUpdaterSeesIt(const std::string& out) {
    SLoaderState state;
    CCommandProcessor processor(&state);
    processor.OnReceive(out);
    return {state.GetReplySeen(), state.GetFirmwareDetected(), state.GetFirmwareText()};
}

TEST(SimEngine, AnswersOnlyAtItsOwnRate) {
    struct Row {
        std::uint32_t listening;
        std::uint32_t lineRate;  // 0: the line does not tell
        bool answers;
        bool usbNative = false;
    };
    const Row rows[] = {
        {9600, 9600, true},
        {9600, 4800, false},
        {9600, 19200, false},
        {19200, 19200, true},
        {19200, 115200, false},
        {115200, 115200, true},
        {9600, 0, false},
        // On a USB port of its own the receiver has no rate to miss.
        {9600, 4800, true, true},
        {9600, 0, true, true},
    };
    for (const Row& row : rows) {
        SSimOptions o = Options();
        o.rate = row.listening;
        o.usbNative = row.usbNative;
        CSimEngine sim(o);
        const std::string out = sim.Receive("$JOFF\r\n$JI\r\n", row.lineRate, 1500ms);
        EXPECT_EQ(AsTheUpdaterSeesIt(out).replySeen, row.answers)
            << row.listening << " / " << row.lineRate << (row.usbNative ? " native" : "");
        // Only what was understood counts as a command.
        EXPECT_EQ(sim.Session().commands.size(), row.answers ? 2u : 0u);
        // The receiver's periodic sentence reaches the updater exactly when its replies do.
        CSimEngine ticking(o);
        EXPECT_EQ(ticking.Tick(row.lineRate, 0ms).empty(), !row.answers);
    }
}

TEST(SimEngine, TheUpdaterFindsItAndReadsItsVersion) {
    CSimEngine sim(Options());
    const std::string out = sim.Receive("$JOFF\r\n$JI\r\n", 9600, 0ms);
    const std::vector<std::string> sentences = Sentences(out);
    ASSERT_EQ(sentences.size(), 2u);
    EXPECT_THAT(sentences[0], ::testing::StartsWith("$>JI,"));
    EXPECT_THAT(sentences[1], ::testing::StartsWith("$W6,VERSION,"));
    for (const std::string& s : sentences) EXPECT_TRUE(ChecksumRight(s)) << s;
    const UpdaterView view = AsTheUpdaterSeesIt(out);
    EXPECT_TRUE(view.replySeen);
    EXPECT_TRUE(view.firmwareDetected);
    EXPECT_EQ(view.firmwareText, "1.21");
}

TEST(SimEngine, MovesOnJbaudAfterTheLine) {
    CSimEngine sim(Options());
    // As one detection attempt at 9600 sends it; the line feed still belongs to the old rate.
    EXPECT_EQ(sim.Receive("$JOFF\r\n$JBAUD,19200\r\n", 9600, 100ms), "");
    EXPECT_EQ(sim.Rate(), 19200u);
    EXPECT_EQ(sim.Receive("$JOFF\r\n$JI\r\n", 9600, 200ms), "");
    EXPECT_TRUE(AsTheUpdaterSeesIt(sim.Receive("$JOFF\r\n$JI\r\n", 19200, 300ms)).replySeen);

    const SSimSession session = sim.Session();
    ASSERT_EQ(session.commands.size(), 4u);
    EXPECT_EQ(session.commands[1].line, "$JBAUD,19200");
    EXPECT_EQ(session.commands[1].rate, 9600u);
    EXPECT_EQ(session.commands[1].t, 100ms);
    EXPECT_EQ(session.commands[3].line, "$JI");
    EXPECT_EQ(session.commands[3].rate, 19200u);
}

TEST(SimEngine, JbaudThatDoesNotMoveIt) {
    struct Row {
        const char* name;
        std::uint32_t onlyRate;
        const char* command;
    };
    const Row rows[] = {
        {"--only-rate", 9600, "$JBAUD,19200\r\n"},
        {"not a rate", 0, "$JBAUD,12345\r\n"},
        {"no rate", 0, "$JBAUD,\r\n"},
    };
    for (const Row& row : rows) {
        SSimOptions o = Options();
        o.onlyRate = row.onlyRate;
        CSimEngine sim(o);
        (void)sim.Receive(row.command, 9600, 0ms);
        EXPECT_EQ(sim.Rate(), 9600u) << row.name;
        EXPECT_TRUE(AsTheUpdaterSeesIt(sim.Receive("$JI\r\n", 9600, 10ms)).replySeen) << row.name;
    }
}

TEST(SimEngine, FieldsOfTheJiReply) {
    for (int fields : {0, 6, 7, 12}) {
        SSimOptions o = Options();
        o.fields = fields;
        CSimEngine sim(o);
        const std::string out = sim.Receive("$JI\r\n", 9600, 0ms);
        const std::string ji = Sentences(out).at(0);
        const std::string data = ji.substr(0, ji.rfind('*'));
        EXPECT_EQ(std::count(data.begin(), data.end(), ','), fields) << ji;
        EXPECT_EQ(data.find(",,"), std::string::npos) << "every field holds something: " << ji;
        EXPECT_EQ(AsTheUpdaterSeesIt(out).replySeen, fields >= 7) << ji;
    }
}

TEST(SimEngine, FaultModesOfItsReplies) {
    struct Row {
        const char* name;
        std::function<void(SSimOptions&)> set;
        bool replySeen;
        bool checksumsRight;
    };
    const Row rows[] = {
        {"plain", [](SSimOptions&) {}, true, true},
        {"--bad-checksum", [](SSimOptions& o) { o.badChecksum = true; }, false, false},
        {"--noise", [](SSimOptions& o) { o.noise = true; }, true, true},
        {"--silent", [](SSimOptions& o) { o.silent = true; }, false, true},
    };
    for (const Row& row : rows) {
        SSimOptions o = Options();
        row.set(o);
        CSimEngine sim(o);
        std::string out = sim.Tick(9600, 0ms);
        out += sim.Receive("$JOFF\r\n$JI\r\n", 9600, 10ms);
        out += sim.Receive("\r\n$JAPPTRANSFER\r\n\r\n", 9600, 20ms);
        EXPECT_EQ(AsTheUpdaterSeesIt(out).replySeen, row.replySeen) << row.name;
        const std::vector<std::string> sentences = Sentences(out);
        EXPECT_EQ(sentences.size(), o.silent ? 0u : 4u)
            << row.name;  // position, >JI, version, W6LOADER
        for (const std::string& s : sentences)
            EXPECT_EQ(ChecksumRight(s), row.checksumsRight) << row.name << s;
        // Both commands are heard whatever the receiver says back.
        EXPECT_EQ(sim.Session().commands.size(), 3u) << row.name;
    }
}

TEST(SimEngine, BootLoaderNamesItselfOnTransfer) {
    CSimEngine sim(Options());
    const std::string out = sim.Receive("\r\n$JAPPTRANSFER\r\n\r\n", 9600, 0ms);
    ASSERT_EQ(Sentences(out).size(), 1u);
    EXPECT_THAT(Sentences(out)[0], ::testing::StartsWith("$W6LOADER,Version,2.05*"));
    SLoaderState state;
    CCommandProcessor processor(&state);
    processor.OnReceive(out);
    EXPECT_EQ(state.GetLoaderVersion(), "2.05");
}

TEST(SimEngine, PeriodicPositionUntilJoff) {
    CSimEngine sim(Options());
    const std::string first = sim.Tick(9600, 0ms);
    ASSERT_EQ(Sentences(first).size(), 1u);
    EXPECT_THAT(Sentences(first)[0], ::testing::StartsWith("$GPGGA,120000.00,"));
    EXPECT_TRUE(ChecksumRight(Sentences(first)[0]));
    EXPECT_EQ(sim.Tick(9600, 999ms), "");
    EXPECT_THAT(sim.Tick(9600, 1000ms), HasSubstr("$GPGGA,120001.00,"));
    // At a foreign rate the position goes out all the same, but the updater's side hears nothing.
    EXPECT_EQ(sim.Tick(4800, 2000ms), "");
    // A late tick does not bunch up the sentences it missed.
    EXPECT_EQ(Sentences(sim.Tick(9600, 5500ms)).size(), 1u);
    EXPECT_EQ(sim.Tick(9600, 6000ms), "");

    (void)sim.Receive("$JOFF\r\n", 9600, 6100ms);
    for (auto t : {7000ms, 8000ms, 60000ms}) EXPECT_EQ(sim.Tick(9600, t), "");
}

TEST(SimEngine, GarbleTurnsForeignBytesIntoJunkNotCommands) {
    SSimOptions o = Options();
    o.garble = true;
    CSimEngine sim(o);
    EXPECT_EQ(sim.Receive("$JOFF\r\n$JBAUD,9600\r\n$JI\r\n", 4800, 0ms), "");
    // The junk left on the line does not stop the next command heard at the right rate.
    EXPECT_TRUE(AsTheUpdaterSeesIt(sim.Receive("$JI\r\n", 9600, 10ms)).replySeen);
    const SSimSession session = sim.Session();
    ASSERT_FALSE(session.commands.empty());
    EXPECT_EQ(session.commands.back().line, "$JI");
    // The position sentence at a foreign rate arrives as junk.
    const std::string junk = sim.Tick(4800, 0ms);
    EXPECT_FALSE(junk.empty());
    EXPECT_EQ(junk.find('$'), std::string::npos);
}

// Feeds the whole load as the updater sends it after detection, the image in 50-byte blocks.
SSimSession Load(CSimEngine& sim, const std::string& image, SimTime& now) {
    for (const char* line : {"$JOFF\r\n", "$W6,CONNECT_TO_GPS\r\n", "$JCONN,A,C\r\n",
                             "\r\n$JCLEARAPPINT\r\n\r\n", "\r\n$JAPPTRANSFER\r\n\r\n"}) {
        (void)sim.Receive(line, 19200, now);
        now += 500ms;
    }
    now += 15000ms;
    for (std::size_t at = 0; at < image.size(); at += 50) {
        (void)sim.Receive(std::string_view(image).substr(at, 50), 19200, now);
        now += 20ms;
        (void)sim.Tick(19200, now);
    }
    (void)sim.Receive("$JCONN,X\r\n", 19200, now);
    return sim.Session();
}

TEST(SimEngine, TakesTheEmbeddedImage) {
    SSimOptions o = Options();
    o.rate = 19200;
    CSimEngine sim(o);
    SimTime now{0};
    const SSimSession session = Load(sim, ImageText(), now);
    const SSimTransfer& t = session.transfer;
    EXPECT_TRUE(t.started);
    EXPECT_TRUE(t.complete);
    EXPECT_EQ(t.bytesReceived, 136352u);
    EXPECT_EQ(t.records, 3032u);
    EXPECT_EQ(t.errors, 0u);
    EXPECT_EQ(t.sha256, Sha256Hex(EmbeddedFirmwareImage()));
    EXPECT_TRUE(t.imageMatches);
    EXPECT_EQ(SessionExitStatus(session, false), 0);
    EXPECT_EQ(SessionExitStatus(session, true), 1);

    EXPECT_EQ(session.version, kFirmwareVersion);
}

// What an updater finds when it looks for the receiver after an image: the new version after a
// good one (once the restart is over), the boot loader and no version after a bad or cut one.
TEST(SimEngine, AfterTheImage) {
    const std::string image = ImageText();
    struct Row {
        const char* name;
        std::size_t sent;               // image bytes sent
        std::size_t corruptAfterBytes;  // 0: none
        bool restarts;
    };
    for (const Row& row :
         {Row{"good", image.size(), 0, true},
          Row{"altered on the line", image.size(), 90000, false}, Row{"cut", 4300, 0, false}}) {
        SCOPED_TRACE(row.name);
        SSimOptions o = Options();
        o.rate = 9600;
        o.corruptAfterBytes = row.corruptAfterBytes;
        std::string log;
        o.log = [&log](const std::string& line) { log += line + "\n"; };
        CSimEngine sim(o);
        SimTime now{0};
        (void)sim.Receive("$JBAUD,19200\r\n", 9600, now);
        const SSimSession session = Load(sim, image.substr(0, row.sent), now);
        if (row.sent == image.size()) {
            EXPECT_EQ(session.transfer.errors != 0, row.corruptAfterBytes != 0);
        }
        EXPECT_EQ(sim.Restarting(), row.restarts);
        EXPECT_EQ(sim.InBootLoader(), !row.restarts);
        if (row.restarts) {
            // Nothing is heard during the restart; then it listens at its starting rate again.
            EXPECT_EQ(sim.Receive("$JI\r\n", 19200, now + 1000ms), "");
            EXPECT_EQ(sim.Receive("$JI\r\n", 19200, now + 2000ms), "");
            const UpdaterView view = AsTheUpdaterSeesIt(sim.Receive("$JI\r\n", 9600, now + 2000ms));
            EXPECT_TRUE(view.replySeen);
            EXPECT_EQ(view.firmwareText, kFirmwareVersion);
            EXPECT_EQ(sim.Session().version, kFirmwareVersion);
        } else {
            SLoaderState state;
            CCommandProcessor processor(&state);
            processor.OnReceive(sim.Receive("\r\n$JI\r\n", 19200, now + 5000ms));
            EXPECT_TRUE(state.GetReplySeen());
            EXPECT_FALSE(state.GetFirmwareDetected());
            EXPECT_EQ(state.GetLoaderVersion(), "2.05");
            EXPECT_EQ(sim.Session().version, "");
        }
        if (row.corruptAfterBytes != 0) {
            EXPECT_THAT(log, HasSubstr("image byte 90000 altered on the line"));
        }
    }
}

TEST(SimEngine, EndOfFileWaitsBrieflyForItsLineFeed) {
    SSimOptions o = Options();
    o.rate = 19200;
    const std::string image = ImageText();
    const std::string allButLf = image.substr(0, image.size() - 1);

    CSimEngine late(o);
    (void)late.Receive("$JAPPTRANSFER\r\n", 19200, 0ms);
    (void)late.Receive(allButLf, 19200, 100ms);
    (void)late.Tick(19200, 150ms);
    EXPECT_FALSE(late.TransferEnded());
    (void)late.Receive("\n", 19200, 160ms);
    EXPECT_TRUE(late.TransferEnded());
    EXPECT_TRUE(late.Session().transfer.imageMatches);

    CSimEngine never(o);
    (void)never.Receive("$JAPPTRANSFER\r\n", 19200, 0ms);
    (void)never.Receive(allButLf, 19200, 100ms);
    (void)never.Tick(19200, 400ms);
    EXPECT_TRUE(never.TransferEnded());
    EXPECT_EQ(never.Session().transfer.bytesReceived, image.size() - 1);
    EXPECT_FALSE(never.Session().transfer.imageMatches);
}

TEST(SimEngine, ReportsCorruptedImages) {
    // Line 1 is the first extended address record; line 2 the first data record.
    struct Row {
        const char* name;
        std::function<void(std::vector<std::string>&)> corrupt;
        const char* error;
    };
    const Row rows[] = {
        {"bad checksum",
         [](std::vector<std::string>& l) { l[5][12] = l[5][12] == '0' ? '1' : '0'; },
         "record 6: bad checksum"},
        {"gap in addresses", [](std::vector<std::string>& l) { l.erase(l.begin() + 100); },
         "record 101: address 08640 where 08630 was due"},
        {"not a hex digit", [](std::vector<std::string>& l) { l[7][20] = 'G'; },
         "record 8: character that is not a hex digit"},
        {"short record", [](std::vector<std::string>& l) { l[9].erase(15, 2); },
         "record 10: byte count 16 does not fit its length"},
        {"missing colon", [](std::vector<std::string>& l) { l[11].erase(0, 1); },
         "stray byte 0x31"},
        {"two records run together",
         [](std::vector<std::string>& l) { l[13].erase(l[13].size() - 2); },
         "record 14: no line end"},
        {"wrong extended address",
         [](std::vector<std::string>& l) { l[2049] = ":020000040002F8\r\n"; },
         "record 2051: address 20000 where 10000 was due"},
    };
    std::vector<std::string> lines;
    {
        const std::string image = ImageText();
        for (std::size_t at = 0; at < image.size();) {
            const std::size_t end = image.find('\n', at) + 1;
            lines.push_back(image.substr(at, end - at));
            at = end;
        }
        ASSERT_EQ(lines.size(), 3032u);
        ASSERT_EQ(lines[2049], ":020000040001F9\r\n");
    }
    for (const Row& row : rows) {
        std::vector<std::string> corrupted = lines;
        row.corrupt(corrupted);
        std::string image;
        for (const std::string& l : corrupted) image += l;
        SSimOptions o = Options();
        o.rate = 19200;
        std::string log;
        o.log = [&log](const std::string& line) { log += line + "\n"; };
        CSimEngine sim(o);
        SimTime now{0};
        const SSimSession session = Load(sim, image, now);
        EXPECT_THAT(log, HasSubstr(row.error)) << row.name;
        EXPECT_TRUE(session.transfer.complete) << row.name;
        EXPECT_GE(session.transfer.errors, 1u) << row.name;
        EXPECT_FALSE(session.transfer.imageMatches) << row.name;
        EXPECT_EQ(SessionExitStatus(session, false), 1) << row.name;
        // A receiver given a broken image stays in its boot loader.
        EXPECT_EQ(session.version, "") << row.name;
        EXPECT_TRUE(sim.InBootLoader()) << row.name;
    }
}

TEST(SimEngine, TruncatedImageIsNotComplete) {
    SSimOptions o = Options();
    o.rate = 19200;
    CSimEngine sim(o);
    SimTime now{0};
    const std::string image = ImageText();
    const SSimSession session = Load(sim, image.substr(0, image.size() / 2), now);
    EXPECT_TRUE(session.transfer.started);
    EXPECT_FALSE(session.transfer.complete);
    EXPECT_FALSE(session.transfer.imageMatches);
    // The closing "$JCONN,X" lands inside the broken-off record, so it counts as image bytes too.
    EXPECT_GT(session.transfer.bytesReceived, image.size() / 2);
    EXPECT_EQ(SessionExitStatus(session, false), 1);
    EXPECT_TRUE(sim.InTransfer());
}

// An updater that starts over after a broken transfer finds the receiver in its boot loader,
// which still answers between records, and can send the image again.
TEST(SimEngine, StartsOverAfterABrokenTransfer) {
    SSimOptions o = Options();
    o.rate = 19200;
    CSimEngine sim(o);
    SimTime now{0};
    const std::string image = ImageText();
    (void)Load(sim, image.substr(0, 4300), now);  // breaks off inside a record
    (void)sim.Receive("\r\n", 19200, now);
    EXPECT_TRUE(AsTheUpdaterSeesIt(sim.Receive("$JOFF\r\n$JI\r\n", 19200, now)).replySeen);
    const SSimSession session = Load(sim, image, now);
    EXPECT_TRUE(session.transfer.imageMatches);
    EXPECT_EQ(session.transfer.errors, 0u);
    EXPECT_EQ(SessionExitStatus(session, false), 0);
}

TEST(SimEngine, ReportAsJson) {
    SSimSession session;
    session.commands.push_back({1500ms, 9600, "$JI"});
    session.commands.push_back({2250ms, 4800, std::string("a\"b\\c\r\x01\xE9", 8)});
    session.transfer.started = true;
    session.transfer.bytesReceived = 12;
    session.transfer.sha256 = "ab";
    session.version = "1.22";
    EXPECT_EQ(
        SessionJson(session),
        "{\"commands\":[\n"
        "  {\"t\":1.500,\"rate\":9600,\"line\":\"$JI\"},\n"
        "  {\"t\":2.250,\"rate\":4800,\"line\":\"a\\\"b\\\\c\\r\\u0001\\u00e9\"}],\n"
        "\"transfer\":{\"started\":true,\"complete\":false,\"bytes_received\":12,\"records\":0,"
        "\"errors\":0,\"sha256\":\"ab\",\"image_matches\":false},\n"
        "\"version\":\"1.22\"}\n");
    EXPECT_EQ(SessionExitStatus(SSimSession{}, true), 0);
    EXPECT_EQ(SessionExitStatus(SSimSession{}, false), 1);
}

}  // namespace
}  // namespace morvane
