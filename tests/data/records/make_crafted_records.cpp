// Appends records with hostile and unusual fields to a history, and writes a report of them,
// through the record library as built at the commit the data is taken from.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>
#include "UpdateHistory.h"
#include "UpdateRecord.h"
using namespace std::chrono;
static system_clock::time_point At(int y, unsigned mo, unsigned d, int h, int mi, int s, int ms, int us = 0) {
    return time_point_cast<system_clock::duration>(sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} +
                                                   seconds{s} + milliseconds{ms} + microseconds{us});
}
static UpdateRecord Base(std::string in, std::string out, const char* ending) {
    UpdateRecord r;
    r.midiIn = std::move(in); r.midiOut = std::move(out);
    r.model = 0x6A; r.programVersion = "1.10";
    r.start = At(2026, 3, 5, 14, 3, 22, 125); r.end = At(2026, 3, 5, 14, 3, 24, 301);
    r.ending = ending; r.durationMs = 2176; r.blockSends.assign(36, 1);
    return r;
}
int main(int argc, char** argv) {
    if (argc != 3) return 2;
    std::vector<UpdateRecord> rs;
    // Quotes, backslashes, a slash and every kind of control character.
    rs.push_back(Base("quote \" backslash \\ slash / end", "tab\there\nline\rcr", "Completed"));
    static const char ctl[] = "nul\0 soh\x01 bs\b ff\f vt\v esc\x1b[31m us\x1f del\x7f";
    rs.push_back(Base(std::string(ctl, sizeof ctl - 1), "ctl", "TransferError"));
    // Non-ASCII: Latin, Japanese, a four-byte emoji, the replacement character itself, U+2028.
    rs.push_back(Base("Gerät Ü ß", "USB \xE3\x82\xAA\xE3\x83\xBC\xE3\x83\x87\xE3\x82\xA3\xE3\x82\xAA \xF0\x9F\x8E\xB8 \xEF\xBF\xBD \xE2\x80\xA8",
                      "Completed"));
    // Invalid UTF-8: stray bytes, a sequence cut short mid-text and at the end, overlong forms, surrogates,
    // beyond U+10FFFF, a lone continuation, a lead byte that can never start a sequence.
    rs.push_back(Base("A\xFF" "B\xC3" "C\xE3\x82" "D\x80" "E\xC0\xAF" "F\xE0\x80\x80" "G", "H\xED\xA0\x80" "I\xF4\x90\x80\x80" "J\xF5\x80" "K\xF0\x9F\x8E",
                      "IllegalDevice"));
    rs.back().model = 0x42;
    // Shift-JIS bytes as a device of another code page might name itself.
    rs.push_back(Base("\x83\x66\x83\x6F\x83\x43\x83\x58 (2)", "\x82\xA0\xE3\x82\x41", "NotInVersionUpMode"));
    // Endings the runner adds, no model, edges of the times and the counts.
    UpdateRecord r = Base("USB Audio Device (20)", "USB Audio Device (20)", "NotStarted");
    r.model.reset(); r.blockSends.assign(36, 0); r.durationMs = 0;
    r.start = system_clock::time_point{}; r.end = At(1970, 1, 1, 0, 0, 0, 0, 999);
    rs.push_back(r);
    r = Base("USB Audio Device (3)", "USB Audio Device (3)", "NoEnd");
    r.start = At(2028, 2, 29, 23, 59, 59, 999, 999); r.end = At(9999, 12, 31, 23, 59, 59, 999);
    r.durationMs = 600000; r.blockSends = {7, 7, 7, 7, 1, 2, 3, 4, 5, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    rs.push_back(r);
    r = Base("USB Audio Device (4)", "USB Audio Device (5)", "Aborted");
    r.model = 0x00; r.durationMs = 1; r.blockSends.assign(36, 0); r.blockSends[0] = 1;
    rs.push_back(r);
    r = Base("USB Audio Device (6)", "USB Audio Device (6)", "Interrupted");
    r.model = 0xFF; r.durationMs = 999999999999999; r.blockSends = {1000000, 0, 1};
    rs.push_back(r);
    for (std::int64_t d : {950LL, 1900LL, 2090LL, 3799LL, 12345LL}) {
        r = Base("USB Audio Device (7)", "USB Audio Device (7)", d == 950 ? "DeviceGone" : d == 1900 ? "SendFailed" : d == 2090 ? "WindowClosed" : d == 3799 ? "BlockTimeout" : "IdentityTimeout");
        r.model = 0x69; r.durationMs = d; r.blockSends = {};
        rs.push_back(r);
    }
    r = Base("", "", "");
    r.programVersion = "0.9 \"beta\"";
    rs.push_back(r);
    r = Base(std::string(300, 'x') + "\xE2\x82\xAC", std::string(1, '\\'), "Completed");
    rs.push_back(r);
    for (const auto& rec : rs) {
        std::string error;
        if (!AppendHistoryTo(argv[1], rec, &error)) { std::fprintf(stderr, "%s\n", error.c_str()); return 1; }
    }
    std::string error;
    if (!WriteFileAtomically(argv[2], ReportJson("tarnet-update", rs), &error)) { std::fprintf(stderr, "%s\n", error.c_str()); return 1; }
    return 0;
}
