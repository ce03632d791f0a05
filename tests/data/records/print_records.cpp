// print_records HISTORY [REPORT]...: what the record library it is linked with reads from a history
// and from reports, in the form of read-1.10.txt.
#include <cstdio>

#include "LegacyRecords.h"
#include "UpdateHistory.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const HistoryContents history = ReadHistory(argv[1]);
    std::printf("# history: %zu records, %d unreadable lines\n", history.records.size(), history.unreadableLines);
    for (const auto& r : history.records) std::fputs(legacy::Printed(r).c_str(), stdout);
    for (int i = 2; i < argc; ++i) {
        const auto text = ReadWholeFile(argv[i]);
        const auto report = text ? ParseReportJson(*text) : std::nullopt;
        std::printf("# report %d: %zu records\n", i - 1, report ? report->size() : 0);
        if (report) {
            for (const auto& r : *report) std::fputs(legacy::Printed(r).c_str(), stdout);
        }
    }
    return 0;
}
