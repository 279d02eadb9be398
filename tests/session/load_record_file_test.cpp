#include "session/load_record_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

class LoadRecordFile : public ::testing::Test {
protected:
    testing::TempDir dir_{"log"};
};

// The folders are made; the last records are read back, oldest first, past a damaged line; a
// target that is off writes nothing.
TEST_F(LoadRecordFile, AppendsAndReadsTheLastRecords) {
    const std::string path = (dir_ / "bench" / "shared" / "loads.jsonl").string();
    EXPECT_FALSE(ReadLoadHistory(path, 20).found);
    SLoadRecord record;
    record.started = "2025-05-02T14:03:07Z";
    record.result = "loaded";
    for (const char* port : {"COM5", "COM6", "COM7"}) {
        record.port = port;
        EXPECT_FALSE(AppendLoadRecord({true, path}, record));
        if (record.port == "COM6") std::ofstream(path, std::ios::app) << "{\"started\":\"2025-05\n";
    }
    EXPECT_FALSE(AppendLoadRecord({false, path}, record));

    const SLoadHistory history = ReadLoadHistory(path, 2);
    EXPECT_TRUE(history.found);
    EXPECT_EQ(history.damagedLines, 1u);
    ASSERT_EQ(history.records.size(), 2u);
    EXPECT_EQ(history.records[0].port, "COM6");
    EXPECT_EQ(history.records[1].port, "COM7");
    EXPECT_EQ(ReadLoadHistory(path, 20).records.size(), 3u);
}

// Programs writing to one file side by side: every line still a whole record.
TEST_F(LoadRecordFile, AppendsFromSeveralWritersNeverInterleave) {
    const std::string path = (dir_ / "loads.jsonl").string();
    SLoadRecord record;
    record.started = "2025-05-02T14:03:07Z";
    record.port = "COM5";
    record.result = "loaded";
    record.status.assign(3000, 's');  // a long line, written in one piece all the same
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w) {
        writers.emplace_back([&] {
            for (int i = 0; i < 50; ++i) EXPECT_FALSE(AppendLoadRecord({true, path}, record));
        });
    }
    for (std::thread& t : writers) t.join();
    const SLoadHistory history = ReadLoadHistory(path, 1000);
    EXPECT_EQ(history.damagedLines, 0u);
    EXPECT_EQ(history.records.size(), 200u);
}

// Where a folder should be there is a file: the folder cannot be made (Windows finds out as it
// opens the file), and what the system said comes along.
TEST_F(LoadRecordFile, AFileThatCannotBeWrittenSaysWhy) {
    std::ofstream(dir_ / "a-file") << "";
    const std::optional<RecordError> error =
        AppendLoadRecord({true, (dir_ / "a-file" / "loads.jsonl").string()}, SLoadRecord{});
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->kind == RecordErrorKind::CannotMakeFolder ||
                error->kind == RecordErrorKind::CannotOpen);
    EXPECT_NE(error->path.find((dir_ / "a-file").string()), std::string::npos) << error->path;
    EXPECT_FALSE(error->systemText.empty());
}
}  // namespace
}  // namespace morvane
