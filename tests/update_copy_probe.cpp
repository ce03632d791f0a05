// A stand-in for the copy of tarnet-update that tarnet-update --all starts for each device, for
// the tests of --all on every system (no shell needed). It takes a copy's options (--device,
// --record-id, --report, --no-history; the others are ignored) and plays, step by step, what its
// device name asks after a colon: "A:history,kill" appends its record to the history and then
// ends as a killed process does.
//   history    appends its record (with its run id) to the history
//   report     writes its report, its record in it
//   badreport  writes a report that does not read as one
//   wait       waits until its runner asks it to end (at most a minute); its ending is then
//              "Interrupted"
//   hang       waits for a minute whatever it is asked, until it is killed
//   kill       ends at once, as a killed process does
// It ends with exit status 0 after the last step. Its record: the whole device name, "Completed"
// (36 blocks sent once) unless it was interrupted. Before each step it creates the empty file
// "<device label>.<step>" in the folder TARNET_PROBE_DIR names (when set), so a test can tell how
// far it has come; the label is the device name up to the colon.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Interrupt.h"
#include "UpdateHistory.h"
#include "UpdateRecord.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <csignal>
#endif

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    for (std::size_t end; (end = text.find(separator, at)) != std::string::npos; at = end + 1) {
        parts.push_back(text.substr(at, end - at));
    }
    parts.push_back(text.substr(at));
    return parts;
}

void Mark(const std::string& label, const std::string& step) {
    if (const char* dir = std::getenv("TARNET_PROBE_DIR")) std::ofstream(std::string(dir) + "/" + label + "." + step);
}

[[noreturn]] void EndAsKilled() {
#if defined(_WIN32)
    TerminateProcess(GetCurrentProcess(), 9);
#else
    std::raise(SIGKILL);
#endif
    std::abort();
}

}  // namespace

int main(int argc, char** argv) {
    InstallInterruptHandlers(InterruptMode::Copy);
    std::string device, runId, reportPath;
    bool history = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--device" && hasValue) device = argv[++i];
        else if (arg == "--record-id" && hasValue) runId = argv[++i];
        else if (arg == "--report" && hasValue) reportPath = argv[++i];
        else if (arg == "--no-history") history = false;
    }
    const std::size_t colon = device.find(':');
    const std::string label = device.substr(0, colon);
    const std::vector<std::string> steps =
        colon == std::string::npos ? std::vector<std::string>{} : Split(device.substr(colon + 1), ',');

    UpdateRecord record;
    record.midiIn = record.midiOut = device;
    record.model = 0x6A;
    record.programVersion = ProgramVersion();
    record.start = record.end = std::chrono::system_clock::now();
    record.ending = "Completed";
    record.durationMs = 1;
    record.blockSends.assign(static_cast<std::size_t>(ImageBlockCount()), 1);
    if (!runId.empty()) record.runId = runId;

    std::printf("probe %s: %zu steps\n", label.c_str(), steps.size());
    std::fflush(stdout);
    for (const std::string& step : steps) {
        Mark(label, step);
        if (step == "history") {
            if (history) AppendHistory(record);
        } else if (step == "report") {
            WriteFileAtomically(reportPath, ReportJson("tarnet-update", {record}));
        } else if (step == "badreport") {
            const std::string whole = ReportJson("tarnet-update", {record});
            WriteFileAtomically(reportPath, whole.substr(0, whole.size() / 2));
        } else if (step == "wait") {
            const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(1);
            while (InterruptCount() == 0 && std::chrono::steady_clock::now() < limit) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            record.ending = ENDING_INTERRUPTED;
        } else if (step == "hang") {
            std::this_thread::sleep_for(std::chrono::minutes(1));
        } else if (step == "kill") {
            EndAsKilled();
        } else {
            std::fprintf(stderr, "probe %s: unknown step '%s'\n", label.c_str(), step.c_str());
            return 2;
        }
    }
    EndedInOrder();
    return 0;
}
