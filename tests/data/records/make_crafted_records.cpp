// make_crafted_records HISTORY REPORT: appends legacy::CraftedRecords() to the history HISTORY and
// writes them as the report REPORT, through the record library it is linked with.
#include <cstdio>
#include <string>

#include "LegacyRecords.h"
#include "UpdateHistory.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const auto records = legacy::CraftedRecords();
    std::string error;
    for (const auto& record : records) {
        if (!AppendHistoryTo(argv[1], record, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
    }
    if (!WriteFileAtomically(argv[2], ReportJson("tarnet-update", records), &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    return 0;
}
