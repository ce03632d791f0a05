// Times of records as text: ISO 8601 in UTC with milliseconds, "2026-03-05T14:03:22.125Z".
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

// The time cut (not rounded) to the millisecond.
std::string FormatUtc(std::chrono::system_clock::time_point time);
// "YYYY-MM-DDTHH:MM:SS.mmmZ", the milliseconds optional; nullopt for anything else, a date that
// does not exist and a time that the system clock can't hold included.
std::optional<std::chrono::system_clock::time_point> ParseUtc(std::string_view text);
