// Reads arbitrary bytes as a record (one history line), as a report and as a whole history: the
// JSON library's parser and the record's own checks. Whatever reads as a record must hold what a
// record may hold, and write out as one line that reads back to the same record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "UpdateHistory.h"
#include "UpdateRecord.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

void CheckRecord(const UpdateRecord& record) {
    Check(record.blockSends.size() <= MAX_RECORDED_BLOCKS);
    Check(record.durationMs >= 0);
    Check(record.BlocksSentAgain() >= 0);
    const std::string line = RecordJson(record);
    Check(line.find('\n') == std::string::npos);
    const auto again = ParseRecordJson(line);
    Check(again.has_value() && *again == record);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto record = ParseRecordJson(text)) CheckRecord(*record);
    if (const auto records = ParseReportJson(text)) {
        for (const UpdateRecord& record : *records) CheckRecord(record);
        Check(ParseReportJson(ReportJson("tarnet-update", *records)) == *records);
    }
    const HistoryContents history = HistoryFromText(text);
    std::size_t lines = 0;
    for (const char c : text) lines += c == '\n' ? 1 : 0;
    Check(history.records.size() + static_cast<std::size_t>(history.unreadableLines) <= lines + 1);
    for (const UpdateRecord& record : history.records) CheckRecord(record);
    return 0;
}
