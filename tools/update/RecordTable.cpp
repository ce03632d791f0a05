#include "RecordTable.h"

#include <algorithm>
#include <cstdio>

#include "TerminalText.h"
#include "UpdateHistory.h"

namespace {

struct Column {
    const char* title;
    bool alignRight;
};

std::string Table(const std::vector<Column>& columns, const std::vector<std::vector<std::string>>& rows) {
    std::vector<int> widths;
    for (const Column& c : columns) widths.push_back(DisplayWidth(c.title));
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], DisplayWidth(row[i]));
    }
    const auto line = [&](const std::vector<std::string>& cells) {
        std::string out;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            const std::string fill(static_cast<std::size_t>(widths[i] - DisplayWidth(cells[i])), ' ');
            const bool last = i + 1 == cells.size();
            if (i > 0) out += "  ";
            out += columns[i].alignRight ? fill + cells[i] : cells[i] + (last ? "" : fill);
        }
        return out + "\n";
    };
    std::vector<std::string> titles;
    for (const Column& c : columns) titles.emplace_back(c.title);
    std::string out = line(titles);
    for (const auto& row : rows) out += line(row);
    return out;
}

std::string Device(const UpdateRecord& r) {
    return r.midiIn == r.midiOut ? r.midiIn : r.midiIn + " / " + r.midiOut;
}

std::string Model(const UpdateRecord& r) {
    if (!r.model) return "-";
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(*r.model));
    return text;
}

std::string Revision(const UpdateRecord& r) {
    return r.softwareRevision ? SoftwareRevisionText(*r.softwareRevision) : "-";
}

// "A1B2C3 at 1-1.2": the serial number and the place on the bus, each where known.
std::string Unit(const UpdateRecord& r) {
    std::string unit = r.usbSerial.value_or("");
    if (r.usbPath) unit += (unit.empty() ? "at " : " at ") + *r.usbPath;
    return unit.empty() ? "-" : unit;
}

std::string Seconds(std::int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    return text;
}

// Names, endings and units come from outside (a device's descriptor, an edited history): shown
// escaped.
std::vector<std::string> Cells(const UpdateRecord& r) {
    return {EscapeControls(Device(r)), Model(r), EscapeControls(r.ending), Revision(r), EscapeControls(Unit(r)),
            Seconds(r.durationMs), std::to_string(r.BlocksSentAgain())};
}

const std::vector<Column> RECORD_COLUMNS = {{"device", false},   {"model", false},    {"ending", false},
                                            {"revision", false}, {"unit", false},     {"duration", true},
                                            {"sent again", true}};

}  // namespace

std::string ClosingTable(const std::vector<UpdateRecord>& records) {
    std::vector<std::vector<std::string>> rows;
    for (const UpdateRecord& r : records) rows.push_back(Cells(r));
    return Table(RECORD_COLUMNS, rows);
}

std::string HistoryTable(const std::vector<UpdateRecord>& records) {
    std::vector<Column> columns = {{"started (UTC)", false}};
    columns.insert(columns.end(), RECORD_COLUMNS.begin(), RECORD_COLUMNS.end());
    std::vector<std::vector<std::string>> rows;
    for (const UpdateRecord& r : records) {
        // "2026-03-05T14:03:22.125Z" -> "2026-03-05 14:03:22"
        std::string started = FormatUtc(r.start).substr(0, 19);
        started[10] = ' ';
        std::vector<std::string> row = {started};
        const auto cells = Cells(r);
        row.insert(row.end(), cells.begin(), cells.end());
        rows.push_back(std::move(row));
    }
    return Table(columns, rows);
}

void AppendToHistory(const std::vector<UpdateRecord>& records) {
    static bool s_reported = false;  // main thread only
    for (const UpdateRecord& record : records) {
        std::string error;
        if (!AppendHistory(record, &error) && !s_reported) {
            s_reported = true;
            std::fprintf(stderr, "tarnet-update: history not written: %s\n", error.c_str());
        }
    }
}

bool WriteReport(const std::vector<UpdateRecord>& records, const std::string& reportPath) {
    if (reportPath.empty()) return true;
    std::string error;
    if (WriteFileAtomically(reportPath, ReportJson("tarnet-update", records), &error)) return true;
    std::fprintf(stderr, "tarnet-update: report not written: %s\n", error.c_str());
    return false;
}

bool KeepRecords(const std::vector<UpdateRecord>& records, const std::string& reportPath, bool history) {
    if (history) AppendToHistory(records);
    return WriteReport(records, reportPath);
}

int PrintHistory() {
    const std::string path = HistoryFilePath();
    if (path.empty()) {
        std::fprintf(stderr, "tarnet-update: no state directory: neither XDG_STATE_HOME nor HOME names one\n");
        return 1;
    }
    const HistoryContents history = ReadHistory(path);
    if (!history.error.empty()) {
        std::fprintf(stderr, "tarnet-update: %s\n", history.error.c_str());
        return 1;
    }
    if (history.records.empty()) {
        std::printf("No updates recorded in %s\n", path.c_str());
    } else {
        std::printf("%s", HistoryTable(history.records).c_str());
    }
    if (history.unreadableLines > 0) {
        std::printf("(%d line%s of %s hold no record)\n", history.unreadableLines,
                    history.unreadableLines == 1 ? "" : "s", path.c_str());
    }
    return 0;
}
