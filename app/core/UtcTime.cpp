#include "UtcTime.h"

#include <charconv>
#include <cstdio>

std::string FormatUtc(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(time);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> clock{ms - day};
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
    return buffer;
}

std::optional<std::chrono::system_clock::time_point> ParseUtc(std::string_view text) {
    using namespace std::chrono;
    const auto number = [&](std::size_t at, std::size_t digits, int& out) {
        if (at + digits > text.size()) return false;
        const char* first = text.data() + at;
        for (std::size_t i = 0; i < digits; ++i) {
            if (first[i] < '0' || first[i] > '9') return false;
        }
        return std::from_chars(first, first + digits, out).ec == std::errc{};
    };
    const auto is = [&](std::size_t at, char c) { return at < text.size() && text[at] == c; };
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
    if (!number(0, 4, y) || !is(4, '-') || !number(5, 2, mo) || !is(7, '-') || !number(8, 2, d) || !is(10, 'T') ||
        !number(11, 2, h) || !is(13, ':') || !number(14, 2, mi) || !is(16, ':') || !number(17, 2, s)) {
        return std::nullopt;
    }
    std::size_t at = 19;
    if (is(at, '.')) {
        if (!number(at + 1, 3, ms)) return std::nullopt;
        at += 4;
    }
    if (!is(at, 'Z') || at + 1 != text.size()) return std::nullopt;
    const year_month_day date{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (!date.ok() || h > 23 || mi > 59 || s > 59) return std::nullopt;
    // In milliseconds, which hold any year of four digits; the clock's own unit may not
    // (nanoseconds reach only from 1677 to 2262), and a time it can't hold is no time of a record.
    const sys_time<milliseconds> time = sys_days{date} + hours{h} + minutes{mi} + seconds{s} + milliseconds{ms};
    if (time < ceil<milliseconds>(system_clock::time_point::min()) ||
        time > floor<milliseconds>(system_clock::time_point::max())) {
        return std::nullopt;
    }
    return time_point_cast<system_clock::duration>(time);
}
