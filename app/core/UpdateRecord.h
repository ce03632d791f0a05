// The record of one update: which device, when, how it ended, how often each block went out. The
// terminal runner writes records into its report (--report) and every program appends one per run
// to the history of updates (UpdateHistory.h). Qt-free, and free of the terminal runner's code, so
// the windows record their runs the same way.
//
// A record as JSON (one object, one line):
//   {"midi_in":"USB Audio Device","midi_out":"USB Audio Device","model":"0x6A",
//    "program_version":"1.10","start":"2026-03-05T14:03:22.125Z","end":"2026-03-05T14:03:24.301Z",
//    "ending":"Completed","duration_ms":2176,"block_sends":[1,1,2,...],"floor_ms":1900,
//    "floor_ratio":1.145}
// Behind "model" a record may carry what is known of the unit, each member only when it is known:
//   "software_revision":"31 30 30 30"   the four software revision bytes of the device's Identity
//                                       Reply, in hex, as the device sent them
//   "usb_serial":"A1B2C3"               the USB serial number of the MIDI OUT device
//   "usb_path":"1-1.2"                  where that device sits on the USB bus
// A record without them is written as records always were, and records written before them read.
// Behind "block_sends" the record of an update made by a copy of tarnet-update --all carries the
// id that its runner gave that copy's run, by which the runner finds the copy's record in the
// history (one record per update, whichever of the two writes it):
//   "run_id":"7f3c9a0e5b1d4c26a8e0f1b2c3d4e5f6-2"
// A report: {"program":"tarnet-update","version":"1.10","records":[ one record a line ]}.
// The JSON is read and written by nlohmann-json; the layout above (member order, one record a line,
// three decimals of floor_ratio, \u0008 and \u000c for backspace and form feed) is kept as it has
// always been written, so files of every version read alike and compare byte for byte.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "UpdateHost.h"
#include "UtcTime.h"
#include "platform/MidiApi.h"

// The program's version, as recorded ("1.10").
const char* ProgramVersion();

// Names of the endings. An engine outcome is named after its enumerator ("Completed",
// "TransferError", ...); the terminal runner adds the endings of runs that the engine never ended.
const char* EndingName(UpdateOutcome outcome);
inline constexpr const char* ENDING_NOT_STARTED = "NotStarted";    // Execute refused (MIDI IN can't open)
inline constexpr const char* ENDING_NO_END = "NoEnd";              // no ending within the runner's time-out
inline constexpr const char* ENDING_INTERRUPTED = "Interrupted";   // Ctrl+C or a termination request
inline constexpr const char* ENDING_ABORTED = "Aborted";           // its process ended without a record

// How long an update lasts at least against a device that answers at once: every exchange after
// the first takes a whole poll tick (the answer is picked up by the next tick), one per block and
// about two for the erase and finish exchanges.
double UpdateFloorMs();
// Blocks of the image (the last one shorter).
int ImageBlockCount();

struct UpdateRecord {
    std::string midiIn;
    std::string midiOut;
    // The model the device reported; none when it never identified itself.
    std::optional<std::uint8_t> model;
    // The software revision of the device's Identity Reply; none when it never identified itself
    // or its reply ended before the revision.
    std::optional<SoftwareRevision> softwareRevision;
    // The unit that got the update, where the system tells it: the MIDI OUT device's USB serial
    // number and its place on the USB bus (platform::MidiDevUnit). None when unknown.
    std::optional<std::string> usbSerial;
    std::optional<std::string> usbPath;
    std::string programVersion;
    std::chrono::system_clock::time_point start;
    std::chrono::system_clock::time_point end;
    std::string ending;  // EndingName or one of the ENDING_ constants
    std::int64_t durationMs = 0;
    // Sends of each block in image order, ImageBlockCount() entries; 0 for a block never sent.
    std::vector<int> blockSends;
    // The id of the run of a copy of --all (given by its runner); none for every other run.
    std::optional<std::string> runId;

    bool Completed() const { return ending == EndingName(UpdateOutcome::Completed); }
    // Sends beyond the first, over all blocks; at most INT_MAX (a record put together by hand may
    // hold counts that add up to more).
    int BlocksSentAgain() const;
    double FloorRatio() const { return static_cast<double>(durationMs) / UpdateFloorMs(); }

    friend bool operator==(const UpdateRecord&, const UpdateRecord&) = default;
};

// Builds the record of one run from what the engine tells its host. Not thread-safe: the host
// feeds it in the order of its requests, which every host serves one at a time.
class UpdateRecorder {
public:
    // At "Execute", before the run starts: the devices, the unit of the MIDI OUT device as the
    // device listing told it, and the clocks start.
    void Start(std::string midiIn, std::string midiOut, const platform::MidiDevUnit& unit = {});
    // Every ShowStatus of the run: each data-transmit status stands for one send of its block, the
    // first Erasing status for a device that identified itself with an accepted model.
    void OnStatus(const RunStatus& status);
    // The run's DeviceIdentified: the software revision that the device reported.
    void OnIdentity(const DeviceIdentity& identity);
    // When the run has ended: the record with `ending` and the end time.
    UpdateRecord Finish(const std::string& ending) const;

private:
    UpdateRecord m_record;
    std::chrono::steady_clock::time_point m_steadyStart{};
};

// One record as a one-line JSON object. Bytes of the names that are not UTF-8 become U+FFFD, so
// the text is always valid JSON.
std::string RecordJson(const UpdateRecord& record);
// The report document of `program`: its version and the records, one a line.
std::string ReportJson(const char* program, const std::vector<UpdateRecord>& records);

// "31 30 30 30": the bytes in hex, upper case, one blank between two.
std::string SoftwareRevisionText(const SoftwareRevision& revision);
// The bytes of SoftwareRevisionText's form; none for any other text.
std::optional<SoftwareRevision> ParseSoftwareRevision(std::string_view text);

// Block counts a record read from a file may hold: far more than the image has blocks, and few
// enough that no sum of them (each at most a million) leaves an int.
inline constexpr std::size_t MAX_RECORDED_BLOCKS = 1024;

// The record in one JSON object, or nullopt when `text` is not one (or lacks a field, or holds
// more than MAX_RECORDED_BLOCKS counts). Bytes of `text` that are not UTF-8 read as U+FFFD.
std::optional<UpdateRecord> ParseRecordJson(std::string_view text);
// The records of a report document, or nullopt when `text` is not one.
std::optional<std::vector<UpdateRecord>> ParseReportJson(std::string_view text);
