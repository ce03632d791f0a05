// The records that version 1.10's record library wrote into tests/data/records (its crafted part),
// and the printed form in which read-1.10.txt holds what that version read back. Shared by the
// programs that made those files (tests/data/records/*.cpp) and by the tests that compare today's
// reading and writing with them.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "UpdateRecord.h"

namespace legacy {

inline std::chrono::system_clock::time_point At(int y, unsigned mo, unsigned d, int h, int mi, int s, int ms,
                                                int us = 0) {
    using namespace std::chrono;
    return time_point_cast<system_clock::duration>(sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} +
                                                   seconds{s} + milliseconds{ms} + microseconds{us});
}

// Lines 14 to 29 of history-1.10.jsonl, and the records of report-1.10-crafted.json.
inline std::vector<UpdateRecord> CraftedRecords() {
    const auto base = [](std::string in, std::string out, const char* ending) {
        UpdateRecord r;
        r.midiIn = std::move(in);
        r.midiOut = std::move(out);
        r.model = 0x6A;
        r.programVersion = "1.10";
        r.start = At(2026, 3, 5, 14, 3, 22, 125);
        r.end = At(2026, 3, 5, 14, 3, 24, 301);
        r.ending = ending;
        r.durationMs = 2176;
        r.blockSends.assign(36, 1);
        return r;
    };
    std::vector<UpdateRecord> rs;
    // Quotes, backslashes, a slash and every kind of control character.
    rs.push_back(base("quote \" backslash \\ slash / end", "tab\there\nline\rcr", "Completed"));
    static const char controls[] = "nul\0 soh\x01 bs\b ff\f vt\v esc\x1b[31m us\x1f del\x7f";
    rs.push_back(base(std::string(controls, sizeof controls - 1), "ctl", "TransferError"));
    // Non-ASCII: Latin, Japanese, a four-byte emoji, the replacement character itself, U+2028.
    rs.push_back(base("Ger\xC3\xA4t \xC3\x9C \xC3\x9F",
                      "USB \xE3\x82\xAA\xE3\x83\xBC\xE3\x83\x87\xE3\x82\xA3\xE3\x82\xAA \xF0\x9F\x8E\xB8 \xEF\xBF\xBD "
                      "\xE2\x80\xA8",
                      "Completed"));
    // Invalid UTF-8: stray bytes, sequences cut short inside the text and at its end, overlong
    // forms, a surrogate, beyond U+10FFFF, a lone continuation, a lead byte that starts nothing.
    rs.push_back(base("A\xFF" "B\xC3" "C\xE3\x82" "D\x80" "E\xC0\xAF" "F\xE0\x80\x80" "G",
                      "H\xED\xA0\x80" "I\xF4\x90\x80\x80" "J\xF5\x80" "K\xF0\x9F\x8E", "IllegalDevice"));
    rs.back().model = 0x42;
    // Shift-JIS bytes, as a device of another code page may name itself.
    rs.push_back(base("\x83\x66\x83\x6F\x83\x43\x83\x58 (2)", "\x82\xA0\xE3\x82\x41", "NotInVersionUpMode"));
    // Endings the runner adds, no model, the edges of the times and the counts.
    UpdateRecord r = base("USB Audio Device (20)", "USB Audio Device (20)", "NotStarted");
    r.model.reset();
    r.blockSends.assign(36, 0);
    r.durationMs = 0;
    r.start = std::chrono::system_clock::time_point{};
    r.end = At(1970, 1, 1, 0, 0, 0, 0, 999);
    rs.push_back(r);
    r = base("USB Audio Device (3)", "USB Audio Device (3)", "NoEnd");
    r.start = At(2028, 2, 29, 23, 59, 59, 999, 999);
    // Meant as 9999-12-31T23:59:59.999Z; the nanoseconds of the system clock hold no such year,
    // and that version's program wrote the time it wrapped round to.
    r.end = At(1816, 3, 30, 5, 56, 8, 65, 1);
    r.durationMs = 600000;
    r.blockSends = {7, 7, 7, 7, 1, 2, 3, 4, 5, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    rs.push_back(r);
    r = base("USB Audio Device (4)", "USB Audio Device (5)", "Aborted");
    r.model = 0x00;
    r.durationMs = 1;
    r.blockSends.assign(36, 0);
    r.blockSends[0] = 1;
    rs.push_back(r);
    r = base("USB Audio Device (6)", "USB Audio Device (6)", "Interrupted");
    r.model = 0xFF;
    r.durationMs = 999999999999999;
    r.blockSends = {1000000, 0, 1};
    rs.push_back(r);
    // Floor ratios that round, and one that is whole.
    const std::vector<std::pair<std::int64_t, const char*>> ratios = {
        {950, "DeviceGone"}, {1900, "SendFailed"}, {2090, "WindowClosed"}, {3799, "BlockTimeout"}, {12345, "IdentityTimeout"}};
    for (const auto& [duration, ending] : ratios) {
        r = base("USB Audio Device (7)", "USB Audio Device (7)", ending);
        r.model = 0x69;
        r.durationMs = duration;
        r.blockSends = {};
        rs.push_back(r);
    }
    r = base("", "", "");
    r.programVersion = "0.9 \"beta\"";
    rs.push_back(r);
    rs.push_back(base(std::string(300, 'x') + "\xE2\x82\xAC", std::string(1, '\\'), "Completed"));
    return rs;
}

// One record as a line of read-1.10.txt: every byte outside printable ASCII (and '\', '|') as
// \xHH, times as milliseconds since 1970, the model in hex or "-".
inline std::string Printed(const UpdateRecord& r) {
    const auto bytes = [](const std::string& s) {
        std::string out;
        for (const unsigned char c : s) {
            if (c >= 0x20 && c < 0x7F && c != '\\' && c != '|') {
                out += static_cast<char>(c);
            } else {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                out += hex;
            }
        }
        return out;
    };
    const auto ms = [](std::chrono::system_clock::time_point t) {
        return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
    };
    std::string sends;
    for (std::size_t i = 0; i < r.blockSends.size(); ++i) {
        if (i > 0) sends += ',';
        sends += std::to_string(r.blockSends[i]);
    }
    char model[8] = "-";
    if (r.model) std::snprintf(model, sizeof model, "%02X", static_cast<unsigned>(*r.model));
    std::string line;
    for (const std::string& part :
         {std::string("in="), bytes(r.midiIn), std::string("|out="), bytes(r.midiOut), std::string("|model="),
          std::string(model), std::string("|version="), bytes(r.programVersion), std::string("|start="), ms(r.start),
          std::string("|end="), ms(r.end), std::string("|ending="), bytes(r.ending), std::string("|duration="),
          std::to_string(r.durationMs), std::string("|sends="), sends, std::string("|again="),
          std::to_string(r.BlocksSentAgain()), std::string("\n")}) {
        line += part;
    }
    return line;
}

}  // namespace legacy
