// Records, reports and a history that version 1.10 wrote (tests/data/records): read as that version
// read them, and written again byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "LegacyRecords.h"
#include "UpdateHistory.h"
#include "UpdateRecord.h"

namespace {

const std::string DATA = TARNET_RECORD_DATA_DIR;
const std::vector<std::string> REPORTS = {"report-1.10-one.json", "report-1.10-all.json", "report-1.10-crafted.json"};

std::string FileText(const std::string& name) {
    const auto text = ReadWholeFile(DATA + "/" + name);
    EXPECT_TRUE(text.has_value()) << name;
    return text.value_or("");
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end - at));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

TEST(LegacyRecords, AHistoryAndReportsOfVersion110ReadAsThatVersionReadThem) {
    const HistoryContents history = ReadHistory(DATA + "/history-1.10.jsonl");
    ASSERT_TRUE(history.found) << history.error;
    std::string printed = "# history: " + std::to_string(history.records.size()) + " records, " +
                          std::to_string(history.unreadableLines) + " unreadable lines\n";
    for (const UpdateRecord& r : history.records) printed += legacy::Printed(r);
    for (std::size_t i = 0; i < REPORTS.size(); ++i) {
        const auto report = ParseReportJson(FileText(REPORTS[i]));
        ASSERT_TRUE(report.has_value()) << REPORTS[i];
        printed += "# report " + std::to_string(i + 1) + ": " + std::to_string(report->size()) + " records\n";
        for (const UpdateRecord& r : *report) printed += legacy::Printed(r);
    }
    const std::vector<std::string> expected = Lines(FileText("read-1.10.txt"));
    const std::vector<std::string> got = Lines(printed);
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], expected[i]) << "line " << i + 1;
}

TEST(LegacyRecords, KnowNothingOfTheUnitOrTheSoftwareRevision) {
    const auto unknown = [](const UpdateRecord& r) {
        return !r.softwareRevision && !r.usbSerial && !r.usbPath;
    };
    const HistoryContents history = ReadHistory(DATA + "/history-1.10.jsonl");
    ASSERT_EQ(history.records.size(), 29u);
    for (const UpdateRecord& r : history.records) EXPECT_TRUE(unknown(r)) << RecordJson(r);
    for (const std::string& name : REPORTS) {
        const auto report = ParseReportJson(FileText(name));
        ASSERT_TRUE(report.has_value()) << name;
        for (const UpdateRecord& r : *report) EXPECT_TRUE(unknown(r)) << name;
    }
}

TEST(LegacyRecords, EveryRecordReadIsWrittenAgainByteForByte) {
    const std::vector<std::string> lines = Lines(FileText("history-1.10.jsonl"));
    ASSERT_EQ(lines.size(), 29u);
    for (const std::string& line : lines) {
        const auto record = ParseRecordJson(line);
        ASSERT_TRUE(record.has_value()) << line;
        EXPECT_EQ(RecordJson(*record), line);
    }
    for (const std::string& name : REPORTS) {
        const std::string text = FileText(name);
        const auto records = ParseReportJson(text);
        ASSERT_TRUE(records.has_value()) << name;
        EXPECT_EQ(ReportJson("tarnet-update", *records), text) << name;
    }
}

TEST(LegacyRecords, TheSameRecordsAreWrittenAsVersion110WroteThemInvalidBytesAndControlsIncluded) {
    const std::vector<UpdateRecord> crafted = legacy::CraftedRecords();
    const std::vector<std::string> lines = Lines(FileText("history-1.10.jsonl"));
    ASSERT_EQ(lines.size(), 13u + crafted.size());
    for (std::size_t i = 0; i < crafted.size(); ++i) EXPECT_EQ(RecordJson(crafted[i]), lines[13 + i]) << "record " << i;
    EXPECT_EQ(ReportJson("tarnet-update", crafted), FileText("report-1.10-crafted.json"));

    // Appended to a history, they make the same file.
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() /
        ("tarnet-legacy-history-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".jsonl");
    std::filesystem::remove(path);
    for (const UpdateRecord& r : crafted) ASSERT_TRUE(AppendHistoryTo(path.string(), r));
    std::string expected;
    for (std::size_t i = 13; i < lines.size(); ++i) expected += lines[i] + "\n";
    EXPECT_EQ(ReadWholeFile(path.string()), expected);
    std::filesystem::remove(path);
}

}  // namespace
