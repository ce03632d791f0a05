// Prints what the record library reads from a history and from reports: one line per record,
// every byte outside printable ASCII as \xHH, times as milliseconds since 1970.
#include <chrono>
#include <cstdio>
#include <string>
#include "UpdateHistory.h"
#include "UpdateRecord.h"
static std::string Bytes(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F && c != '\\' && c != '|') out += static_cast<char>(c);
        else { char b[8]; std::snprintf(b, sizeof b, "\\x%02X", c); out += b; }
    }
    return out;
}
static long long Ms(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}
static void Print(const UpdateRecord& r) {
    std::string sends;
    for (std::size_t i = 0; i < r.blockSends.size(); ++i) sends += (i ? "," : "") + std::to_string(r.blockSends[i]);
    char model[8] = "-";
    if (r.model) std::snprintf(model, sizeof model, "%02X", static_cast<unsigned>(*r.model));
    std::printf("in=%s|out=%s|model=%s|version=%s|start=%lld|end=%lld|ending=%s|duration=%lld|sends=%s|again=%d\n",
                Bytes(r.midiIn).c_str(), Bytes(r.midiOut).c_str(), model, Bytes(r.programVersion).c_str(), Ms(r.start),
                Ms(r.end), Bytes(r.ending).c_str(), static_cast<long long>(r.durationMs), sends.c_str(), r.BlocksSentAgain());
}
int main(int argc, char** argv) {
    const HistoryContents h = ReadHistory(argv[1]);
    std::printf("# history: %zu records, %d unreadable lines\n", h.records.size(), h.unreadableLines);
    for (const auto& r : h.records) Print(r);
    for (int i = 2; i < argc; ++i) {
        const auto report = ParseReportJson(*ReadWholeFile(argv[i]));
        std::printf("# report %d: %zu records\n", i - 1, report ? report->size() : 0);
        if (report) for (const auto& r : *report) Print(r);
    }
}
