#include "UpdateRecord.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <numeric>

#include "FirmwareImage.h"
#include "Messages.h"
#include "UpdateEngine.h"

#ifndef TARNET_VERSION
#error "TARNET_VERSION must be defined by the build"
#endif

const char* ProgramVersion() { return TARNET_VERSION; }

const char* EndingName(UpdateOutcome outcome) {
    switch (outcome) {
        case UpdateOutcome::Completed: return "Completed";
        case UpdateOutcome::IdentityTimeout: return "IdentityTimeout";
        case UpdateOutcome::IllegalDevice: return "IllegalDevice";
        case UpdateOutcome::NotInVersionUpMode: return "NotInVersionUpMode";
        case UpdateOutcome::TransferError: return "TransferError";
        case UpdateOutcome::BlockTimeout: return "BlockTimeout";
        case UpdateOutcome::WindowClosed: return "WindowClosed";
        case UpdateOutcome::DeviceGone: return "DeviceGone";
        case UpdateOutcome::SendFailed: return "SendFailed";
    }
    return "Unknown";
}

int ImageBlockCount() { return (IMAGE_SIZE + BLOCK_SIZE - 1) / BLOCK_SIZE; }

double UpdateFloorMs() { return (ImageBlockCount() + 2) * static_cast<double>(POLL_PERIOD_MS); }

int UpdateRecord::BlocksSentAgain() const {
    return std::accumulate(blockSends.begin(), blockSends.end(), 0,
                           [](int sum, int sends) { return sum + std::max(sends - 1, 0); });
}

// ----- UpdateRecorder -----

void UpdateRecorder::Start(std::string midiIn, std::string midiOut) {
    m_record = UpdateRecord{};
    m_record.midiIn = std::move(midiIn);
    m_record.midiOut = std::move(midiOut);
    m_record.programVersion = ProgramVersion();
    m_record.blockSends.assign(static_cast<std::size_t>(ImageBlockCount()), 0);
    m_record.start = std::chrono::system_clock::now();
    m_steadyStart = std::chrono::steady_clock::now();
}

void UpdateRecorder::OnStatus(const RunStatus& status) {
    if (status.kind == RunStatus::Kind::Erasing && !m_record.model) {
        // The run erases only after it has accepted the model it stored from the device's reply.
        m_record.model = g_modelId.load();
    } else if (status.kind == RunStatus::Kind::DataTransmit && status.offset >= 0 && status.offset < IMAGE_SIZE) {
        const auto block = static_cast<std::size_t>(status.offset / BLOCK_SIZE);
        if (block < m_record.blockSends.size()) m_record.blockSends[block]++;
    }
}

UpdateRecord UpdateRecorder::Finish(const std::string& ending) const {
    UpdateRecord record = m_record;
    record.ending = ending;
    record.end = std::chrono::system_clock::now();
    record.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - m_steadyStart).count();
    // A model refused by the check is stored all the same; an accepted one would have been seen
    // at the erase, so a stored model that is not accepted is the device's answer.
    if (!record.model && ending == EndingName(UpdateOutcome::IllegalDevice) && !IsAcceptedModel(g_modelId.load())) {
        record.model = g_modelId.load();
    }
    return record;
}

// ----- Time -----

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
    // YYYY-MM-DDTHH:MM:SS.mmmZ, the milliseconds optional.
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
    return time_point_cast<system_clock::duration>(sys_days{date} + hours{h} + minutes{mi} + seconds{s} +
                                                   milliseconds{ms});
}

// ----- JSON -----

namespace {

// Appends `text` as a JSON string. Invalid UTF-8 sequences become U+FFFD.
void AppendString(std::string& out, std::string_view text) {
    out += '"';
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c == '\n') {
                out += "\\n";
            } else if (c == '\r') {
                out += "\\r";
            } else if (c == '\t') {
                out += "\\t";
            } else if (c < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                out += escape;
            } else {
                out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        // Length of the sequence a lead byte announces, and the smallest code point it may carry
        // (overlong forms are invalid).
        const std::size_t length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? (c <= 0xEF ? 3 : 0) : c >= 0xC2 ? 2 : 0;
        bool valid = length > 0 && i + length <= text.size();
        std::uint32_t code = length == 2 ? c & 0x1Fu : length == 3 ? c & 0x0Fu : c & 0x07u;
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3Fu);
        }
        if (valid) {
            valid = (length != 3 || (code >= 0x800 && (code < 0xD800 || code > 0xDFFF))) &&
                    (length != 4 || (code >= 0x10000 && code <= 0x10FFFF));
        }
        if (valid) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    out += '"';
}

std::string FormatFixed(double value, int decimals) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    return std::string(buffer, result.ec == std::errc{} ? result.ptr : buffer);
}

// A parsed JSON value; object members keep their order.
struct JsonValue {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<JsonValue> items;    // Array; Object: the values
    std::vector<std::string> keys;   // Object: the keys, parallel to items

    const JsonValue* Member(std::string_view key) const {
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (keys[i] == key) return &items[i];
        }
        return nullptr;
    }
};

// Recursive descent over RFC 8259 JSON; nesting deeper than MAX_DEPTH is refused rather than
// allowed to exhaust the stack.
class JsonParser {
public:
    explicit JsonParser(std::string_view text) : m_text(text) {}

    std::optional<JsonValue> Document() {
        JsonValue value;
        if (!Value(value, 0)) return std::nullopt;
        SkipSpace();
        if (m_at != m_text.size()) return std::nullopt;
        return value;
    }

private:
    static constexpr int MAX_DEPTH = 32;

    void SkipSpace() {
        while (m_at < m_text.size() &&
               (m_text[m_at] == ' ' || m_text[m_at] == '\t' || m_text[m_at] == '\n' || m_text[m_at] == '\r')) {
            ++m_at;
        }
    }
    bool Take(char c) {
        SkipSpace();
        if (m_at < m_text.size() && m_text[m_at] == c) {
            ++m_at;
            return true;
        }
        return false;
    }
    bool Word(std::string_view word) {
        if (m_text.substr(m_at, word.size()) != word) return false;
        m_at += word.size();
        return true;
    }

    bool Value(JsonValue& out, int depth) {
        if (depth > MAX_DEPTH) return false;
        SkipSpace();
        if (m_at >= m_text.size()) return false;
        const char c = m_text[m_at];
        if (c == '{') return Object(out, depth);
        if (c == '[') return Array(out, depth);
        if (c == '"') {
            out.kind = JsonValue::Kind::String;
            return String(out.text);
        }
        if (c == 't' || c == 'f') {
            out.kind = JsonValue::Kind::Bool;
            out.boolean = c == 't';
            return Word(c == 't' ? "true" : "false");
        }
        if (c == 'n') {
            out.kind = JsonValue::Kind::Null;
            return Word("null");
        }
        out.kind = JsonValue::Kind::Number;
        return Number(out.number);
    }

    bool Object(JsonValue& out, int depth) {
        out.kind = JsonValue::Kind::Object;
        ++m_at;  // '{'
        if (Take('}')) return true;
        do {
            SkipSpace();
            std::string key;
            JsonValue value;
            if (m_at >= m_text.size() || m_text[m_at] != '"' || !String(key) || !Take(':') || !Value(value, depth + 1)) {
                return false;
            }
            out.keys.push_back(std::move(key));
            out.items.push_back(std::move(value));
        } while (Take(','));
        return Take('}');
    }

    bool Array(JsonValue& out, int depth) {
        out.kind = JsonValue::Kind::Array;
        ++m_at;  // '['
        if (Take(']')) return true;
        do {
            JsonValue value;
            if (!Value(value, depth + 1)) return false;
            out.items.push_back(std::move(value));
        } while (Take(','));
        return Take(']');
    }

    bool Hex4(std::uint32_t& code) {
        if (m_at + 4 > m_text.size()) return false;
        code = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = m_text[m_at++];
            code <<= 4;
            if (h >= '0' && h <= '9') code |= static_cast<std::uint32_t>(h - '0');
            else if (h >= 'a' && h <= 'f') code |= static_cast<std::uint32_t>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F') code |= static_cast<std::uint32_t>(h - 'A' + 10);
            else return false;
        }
        return true;
    }

    static void AppendUtf8(std::string& out, std::uint32_t code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    bool String(std::string& out) {
        ++m_at;  // '"'
        while (m_at < m_text.size()) {
            const char c = m_text[m_at++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_at >= m_text.size()) return false;
            const char e = m_text[m_at++];
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    std::uint32_t code = 0;
                    if (!Hex4(code)) return false;
                    if (code >= 0xD800 && code <= 0xDBFF) {
                        std::uint32_t low = 0;
                        if (!Word("\\u") || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    } else if (code >= 0xDC00 && code <= 0xDFFF) {
                        return false;
                    }
                    AppendUtf8(out, code);
                    break;
                }
                default: return false;
            }
        }
        return false;
    }

    bool Number(double& out) {
        // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
        const std::size_t first = m_at;
        const auto digits = [&] {
            const std::size_t from = m_at;
            while (m_at < m_text.size() && m_text[m_at] >= '0' && m_text[m_at] <= '9') ++m_at;
            return m_at - from;
        };
        if (m_at < m_text.size() && m_text[m_at] == '-') ++m_at;
        if (m_at < m_text.size() && m_text[m_at] == '0') {
            ++m_at;
        } else if (digits() == 0) {
            return false;
        }
        if (m_at < m_text.size() && m_text[m_at] == '.') {
            ++m_at;
            if (digits() == 0) return false;
        }
        if (m_at < m_text.size() && (m_text[m_at] == 'e' || m_text[m_at] == 'E')) {
            ++m_at;
            if (m_at < m_text.size() && (m_text[m_at] == '+' || m_text[m_at] == '-')) ++m_at;
            if (digits() == 0) return false;
        }
        const auto result = std::from_chars(m_text.data() + first, m_text.data() + m_at, out);
        return result.ec == std::errc{} && result.ptr == m_text.data() + m_at;
    }

    std::string_view m_text;
    std::size_t m_at = 0;
};

// A whole number within [min, max] held by `value`.
std::optional<std::int64_t> WholeNumber(const JsonValue* value, double min, double max) {
    if (value == nullptr || value->kind != JsonValue::Kind::Number) return std::nullopt;
    const double n = value->number;
    if (n < min || n > max || n != static_cast<double>(static_cast<std::int64_t>(n))) return std::nullopt;
    return static_cast<std::int64_t>(n);
}

const std::string* StringMember(const JsonValue& object, std::string_view key) {
    const JsonValue* value = object.Member(key);
    return value != nullptr && value->kind == JsonValue::Kind::String ? &value->text : nullptr;
}

std::optional<UpdateRecord> RecordFrom(const JsonValue& object) {
    if (object.kind != JsonValue::Kind::Object) return std::nullopt;
    const std::string* in = StringMember(object, "midi_in");
    const std::string* out = StringMember(object, "midi_out");
    const std::string* version = StringMember(object, "program_version");
    const std::string* start = StringMember(object, "start");
    const std::string* end = StringMember(object, "end");
    const std::string* ending = StringMember(object, "ending");
    const auto duration = WholeNumber(object.Member("duration_ms"), 0, 1e15);
    const JsonValue* sends = object.Member("block_sends");
    const JsonValue* model = object.Member("model");
    if (!in || !out || !version || !start || !end || !ending || !duration || sends == nullptr ||
        sends->kind != JsonValue::Kind::Array || model == nullptr) {
        return std::nullopt;
    }
    UpdateRecord record;
    record.midiIn = *in;
    record.midiOut = *out;
    record.programVersion = *version;
    record.ending = *ending;
    record.durationMs = *duration;
    const auto startTime = ParseUtc(*start);
    const auto endTime = ParseUtc(*end);
    if (!startTime || !endTime) return std::nullopt;
    record.start = *startTime;
    record.end = *endTime;
    if (model->kind == JsonValue::Kind::String) {
        // "0x6A"
        const std::string& m = model->text;
        unsigned value = 0;
        if (m.size() != 4 || m[0] != '0' || m[1] != 'x') return std::nullopt;
        const auto result = std::from_chars(m.data() + 2, m.data() + 4, value, 16);
        if (result.ec != std::errc{} || result.ptr != m.data() + 4) return std::nullopt;
        record.model = static_cast<std::uint8_t>(value);
    } else if (model->kind != JsonValue::Kind::Null) {
        return std::nullopt;
    }
    for (const JsonValue& item : sends->items) {
        const auto count = WholeNumber(&item, 0, 1e6);
        if (!count) return std::nullopt;
        record.blockSends.push_back(static_cast<int>(*count));
    }
    return record;
}

}  // namespace

std::string RecordJson(const UpdateRecord& r) {
    std::string out = "{\"midi_in\":";
    AppendString(out, r.midiIn);
    out += ",\"midi_out\":";
    AppendString(out, r.midiOut);
    out += ",\"model\":";
    if (r.model) {
        char model[8];
        std::snprintf(model, sizeof model, "\"0x%02X\"", static_cast<unsigned>(*r.model));
        out += model;
    } else {
        out += "null";
    }
    out += ",\"program_version\":";
    AppendString(out, r.programVersion);
    out += ",\"start\":\"" + FormatUtc(r.start) + "\",\"end\":\"" + FormatUtc(r.end) + "\",\"ending\":";
    AppendString(out, r.ending);
    out += ",\"duration_ms\":" + std::to_string(r.durationMs) + ",\"block_sends\":[";
    for (std::size_t i = 0; i < r.blockSends.size(); ++i) {
        if (i > 0) out += ',';
        out += std::to_string(r.blockSends[i]);
    }
    out += "],\"floor_ms\":" + FormatFixed(UpdateFloorMs(), 0) + ",\"floor_ratio\":" + FormatFixed(r.FloorRatio(), 3) +
           "}";
    return out;
}

std::string ReportJson(const char* program, const std::vector<UpdateRecord>& records) {
    std::string out = "{\"program\":";
    AppendString(out, program);
    out += ",\"version\":";
    AppendString(out, ProgramVersion());
    out += ",\"records\":[";
    for (std::size_t i = 0; i < records.size(); ++i) {
        out += i == 0 ? "\n  " : ",\n  ";
        out += RecordJson(records[i]);
    }
    out += records.empty() ? "]}\n" : "\n]}\n";
    return out;
}

std::optional<UpdateRecord> ParseRecordJson(std::string_view text) {
    const auto document = JsonParser(text).Document();
    if (!document) return std::nullopt;
    return RecordFrom(*document);
}

std::optional<std::vector<UpdateRecord>> ParseReportJson(std::string_view text) {
    const auto document = JsonParser(text).Document();
    if (!document || document->kind != JsonValue::Kind::Object) return std::nullopt;
    const JsonValue* records = document->Member("records");
    if (records == nullptr || records->kind != JsonValue::Kind::Array) return std::nullopt;
    std::vector<UpdateRecord> result;
    for (const JsonValue& item : records->items) {
        auto record = RecordFrom(item);
        if (!record) return std::nullopt;
        result.push_back(std::move(*record));
    }
    return result;
}
