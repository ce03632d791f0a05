#include "UpdateRecord.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <utility>

#include <nlohmann/json.hpp>

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
        case UpdateOutcome::AnswersOutOfStep: return "AnswersOutOfStep";
    }
    return "Unknown";
}

int ImageBlockCount() { return (IMAGE_SIZE + BLOCK_SIZE - 1) / BLOCK_SIZE; }

double UpdateFloorMs() { return (ImageBlockCount() + 2) * static_cast<double>(POLL_PERIOD_MS); }

int UpdateRecord::BlocksSentAgain() const {
    std::int64_t sum = 0;
    for (const int sends : blockSends) sum += std::max<std::int64_t>(std::int64_t{sends} - 1, 0);
    return static_cast<int>(std::min<std::int64_t>(sum, INT_MAX));
}

// ----- UpdateRecorder -----

void UpdateRecorder::Start(std::string midiIn, std::string midiOut, const platform::MidiDevUnit& unit) {
    m_record = UpdateRecord{};
    m_record.midiIn = std::move(midiIn);
    m_record.midiOut = std::move(midiOut);
    if (!unit.usbSerial.empty()) m_record.usbSerial = unit.usbSerial;
    if (!unit.usbPath.empty()) m_record.usbPath = unit.usbPath;
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

void UpdateRecorder::OnIdentity(const DeviceIdentity& identity) {
    m_record.softwareRevision = identity.softwareRevision;
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

std::string SoftwareRevisionText(const SoftwareRevision& revision) {
    std::string text;
    for (const std::uint8_t byte : revision) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned>(byte));
        if (!text.empty()) text += ' ';
        text += hex;
    }
    return text;
}

std::optional<SoftwareRevision> ParseSoftwareRevision(std::string_view text) {
    SoftwareRevision revision{};
    // Two hex digits a byte, one blank between two: "XX XX XX XX".
    if (text.size() != revision.size() * 3 - 1) return std::nullopt;
    for (std::size_t i = 0; i < revision.size(); ++i) {
        const char* at = text.data() + i * 3;
        if (i > 0 && at[-1] != ' ') return std::nullopt;
        unsigned value = 0;
        const auto result = std::from_chars(at, at + 2, value, 16);
        if (result.ec != std::errc{} || result.ptr != at + 2) return std::nullopt;
        revision[i] = static_cast<std::uint8_t>(value);
    }
    return revision;
}

// ----- JSON -----

namespace {

// Members keep the order in which they are set.
using Json = nlohmann::ordered_json;

// The record's rule for text that is not UTF-8: every byte that does not begin a whole sequence in
// shortest form (no surrogates, nothing past U+10FFFF) becomes U+FFFD, and the text goes on with
// the byte after it. The library's own replacement joins the bytes of a sequence cut short into
// one U+FFFD; records have always had one for each, and keep it.
std::string ValidUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        // Length that a lead byte announces; 0 for a byte that can't lead.
        const std::size_t length = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3
                                   : c >= 0xF0 && c <= 0xF4                ? 4 : 0;
        bool valid = length > 0 && i + length <= text.size();
        std::uint32_t code = length == 1 ? c : length == 2 ? c & 0x1Fu : length == 3 ? c & 0x0Fu : c & 0x07u;
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3Fu);
        }
        valid = valid && (length != 3 || (code >= 0x800 && (code < 0xD800 || code > 0xDFFF))) &&
                (length != 4 || (code >= 0x10000 && code <= 0x10FFFF));
        if (valid) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

// The library writes backspace and form feed as \b and \f; records have always had \u0008 and
// \u000c. In a JSON text a backslash occurs only inside strings, where it always begins an escape,
// so reading the escapes whole finds every one.
std::string WithLongControlEscapes(const std::string& json) {
    if (json.find("\\b") == std::string::npos && json.find("\\f") == std::string::npos) return json;
    std::string out;
    out.reserve(json.size() + 16);
    for (std::size_t i = 0; i < json.size(); ++i) {
        if (json[i] != '\\' || i + 1 == json.size()) {
            out += json[i];
            continue;
        }
        const char escape = json[++i];
        out += escape == 'b' ? "\\u0008" : escape == 'f' ? "\\u000c" : std::string{'\\', escape};
    }
    return out;
}

std::string Dump(const Json& value) {
    // The texts were made valid UTF-8 already: replacing stands for a throw that can't happen.
    return WithLongControlEscapes(value.dump(-1, ' ', false, Json::error_handler_t::replace));
}

std::string FormatFixed(double value, int decimals) {
    char buffer[64];
#if defined(__cpp_lib_to_chars)
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    return std::string(buffer, result.ec == std::errc{} ? result.ptr : buffer);
#else
    // A C++ library without floating-point to_chars (the WebAssembly toolchain's): its programs
    // know only the "C" locale, whose printf writes the same exactly rounded digits.
    const int n = std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return std::string(buffer, n > 0 && static_cast<std::size_t>(n) < sizeof buffer ? static_cast<std::size_t>(n) : 0);
#endif
}

// `text` as a JSON value; nullopt when it is not one. Never throws for what it reads.
std::optional<Json> ParseJson(std::string_view text) {
    Json value = Json::parse(ValidUtf8(text), nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) return std::nullopt;
    return value;
}

const Json* Member(const Json& object, const char* key) {
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

const std::string* StringMember(const Json& object, const char* key) {
    const Json* value = Member(object, key);
    return value != nullptr && value->is_string() ? &value->get_ref<const std::string&>() : nullptr;
}

// A whole number within [min, max] held by `value`, in whichever form it was written (2175, 2175.0,
// 2.175e3).
std::optional<std::int64_t> WholeNumber(const Json* value, double min, double max) {
    if (value == nullptr || !value->is_number()) return std::nullopt;
    const double n = value->get<double>();
    if (!(n >= min && n <= max) || n != static_cast<double>(static_cast<std::int64_t>(n))) return std::nullopt;
    return static_cast<std::int64_t>(n);
}

std::optional<UpdateRecord> RecordFrom(const Json& object) {
    if (!object.is_object()) return std::nullopt;
    const std::string* in = StringMember(object, "midi_in");
    const std::string* out = StringMember(object, "midi_out");
    const std::string* version = StringMember(object, "program_version");
    const std::string* start = StringMember(object, "start");
    const std::string* end = StringMember(object, "end");
    const std::string* ending = StringMember(object, "ending");
    const auto duration = WholeNumber(Member(object, "duration_ms"), 0, 1e15);
    const Json* sends = Member(object, "block_sends");
    const Json* model = Member(object, "model");
    if (!in || !out || !version || !start || !end || !ending || !duration || sends == nullptr || !sends->is_array() ||
        sends->size() > MAX_RECORDED_BLOCKS || model == nullptr) {
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
    if (model->is_string()) {
        // "0x6A"
        const std::string& m = model->get_ref<const std::string&>();
        unsigned value = 0;
        if (m.size() != 4 || m[0] != '0' || m[1] != 'x') return std::nullopt;
        const auto result = std::from_chars(m.data() + 2, m.data() + 4, value, 16);
        if (result.ec != std::errc{} || result.ptr != m.data() + 4) return std::nullopt;
        record.model = static_cast<std::uint8_t>(value);
    } else if (!model->is_null()) {
        return std::nullopt;
    }
    // What is known of the unit: absent (or null) when unknown, and then as in records of before.
    if (const Json* revision = Member(object, "software_revision"); revision != nullptr && !revision->is_null()) {
        if (!revision->is_string()) return std::nullopt;
        record.softwareRevision = ParseSoftwareRevision(revision->get_ref<const std::string&>());
        if (!record.softwareRevision) return std::nullopt;
    }
    for (const auto& [key, field] :
         {std::pair{"usb_serial", &record.usbSerial}, std::pair{"usb_path", &record.usbPath}}) {
        const Json* value = Member(object, key);
        if (value == nullptr || value->is_null()) continue;
        if (!value->is_string()) return std::nullopt;
        *field = value->get<std::string>();
    }
    for (const Json& item : *sends) {
        const auto count = WholeNumber(&item, 0, 1e6);
        if (!count) return std::nullopt;
        record.blockSends.push_back(static_cast<int>(*count));
    }
    if (const Json* id = Member(object, "run_id"); id != nullptr && !id->is_null()) {
        if (!id->is_string()) return std::nullopt;
        record.runId = id->get<std::string>();
    }
    return record;
}

}  // namespace

std::string RecordJson(const UpdateRecord& r) {
    Json object;
    object["midi_in"] = ValidUtf8(r.midiIn);
    object["midi_out"] = ValidUtf8(r.midiOut);
    if (r.model) {
        char model[8];
        std::snprintf(model, sizeof model, "0x%02X", static_cast<unsigned>(*r.model));
        object["model"] = model;
    } else {
        object["model"] = nullptr;
    }
    if (r.softwareRevision) object["software_revision"] = SoftwareRevisionText(*r.softwareRevision);
    if (r.usbSerial) object["usb_serial"] = ValidUtf8(*r.usbSerial);
    if (r.usbPath) object["usb_path"] = ValidUtf8(*r.usbPath);
    object["program_version"] = ValidUtf8(r.programVersion);
    object["start"] = FormatUtc(r.start);
    object["end"] = FormatUtc(r.end);
    object["ending"] = ValidUtf8(r.ending);
    object["duration_ms"] = r.durationMs;
    object["block_sends"] = r.blockSends;
    if (r.runId) object["run_id"] = ValidUtf8(*r.runId);
    object["floor_ms"] = std::llround(UpdateFloorMs());
    // The ratio always with three decimals, which the library's shortest forms of numbers do not
    // keep ("1.100", "2.000"): it goes in as the last member by hand.
    std::string text = Dump(object);
    text.pop_back();  // '}'
    return text + ",\"floor_ratio\":" + FormatFixed(r.FloorRatio(), 3) + "}";
}

std::string ReportJson(const char* program, const std::vector<UpdateRecord>& records) {
    Json document;
    document["program"] = ValidUtf8(program);
    document["version"] = ProgramVersion();
    document["records"] = Json::array();
    std::string out = Dump(document);  // ...,"records":[]}
    if (records.empty()) return out + "\n";
    // One record a line.
    out.resize(out.size() - 2);
    for (std::size_t i = 0; i < records.size(); ++i) out += (i == 0 ? "\n  " : ",\n  ") + RecordJson(records[i]);
    return out + "\n]}\n";
}

std::optional<UpdateRecord> ParseRecordJson(std::string_view text) {
    const auto document = ParseJson(text);
    if (!document) return std::nullopt;
    return RecordFrom(*document);
}

std::optional<std::vector<UpdateRecord>> ParseReportJson(std::string_view text) {
    const auto document = ParseJson(text);
    if (!document || !document->is_object()) return std::nullopt;
    const Json* records = Member(*document, "records");
    if (records == nullptr || !records->is_array()) return std::nullopt;
    std::vector<UpdateRecord> result;
    for (const Json& item : *records) {
        auto record = RecordFrom(item);
        if (!record) return std::nullopt;
        result.push_back(std::move(*record));
    }
    return result;
}
