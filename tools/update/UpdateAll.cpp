#include "UpdateAll.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "ChildProcess.h"
#include "DeviceNames.h"
#include "FirmwareImage.h"
#include "Interrupt.h"
#include "ProgressBoard.h"
#include "RecordTable.h"
#include "UpdateHistory.h"
#include "UpdateRecord.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

using SteadyClock = std::chrono::steady_clock;

// The highest copy number of the window, and so of the default names.
constexpr int MAX_COPIES = 20;
// After Ctrl+C each copy closes its run at once; this long is left for a send under way (see
// CUpdateEngine::WORKER_END_LIMIT) before the copies are killed.
constexpr std::chrono::seconds INTERRUPT_GRACE{40};
// Beyond a copy's own time-out: its closing and the writing of its report.
constexpr std::chrono::seconds TIMEOUT_GRACE{60};
constexpr std::chrono::milliseconds TICK{100};

// A line of a copy's output, or the end of it.
struct OutputLine {
    std::size_t copy;
    bool end;
    std::string text;
};

// From the reader threads to the main thread.
class LineQueue {
public:
    void Push(OutputLine line) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_lines.push_back(std::move(line));
        }
        m_ready.notify_one();
    }
    // Whatever has arrived; waits at most `limit` for the first line.
    std::deque<OutputLine> Take(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(m_lock);
        m_ready.wait_for(lock, limit, [this] { return !m_lines.empty(); });
        std::deque<OutputLine> lines;
        lines.swap(m_lines);
        return lines;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_ready;
    std::deque<OutputLine> m_lines;  // guarded by m_lock
};

// One copy of tarnet-update and its device. Everything but `process`'s reading belongs to the
// main thread.
struct Copy {
    std::string device;
    std::string reportPath;
    ChildProcess process;
    std::thread reader;  // reads `process`'s output into the queue
    bool running = false;
    std::chrono::system_clock::time_point start;
    SteadyClock::time_point steadyStart;
    UpdateRecord record;
    // The record came from the copy's report: the copy has kept it in the history itself.
    bool recordedItself = false;
};

// A folder of this run's own for the copies' reports.
fs::path MakeWorkFolder() {
#if defined(_WIN32)
    const unsigned long pid = GetCurrentProcessId();
#else
    const unsigned long pid = static_cast<unsigned long>(::getpid());
#endif
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) return {};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path folder = base / ("tarnet-update-" + std::to_string(pid) + "-" + std::to_string(attempt));
        if (fs::create_directory(folder, ec)) return folder;
    }
    return {};
}

std::string Utf8Of(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

// The record of a copy that left none (it did not start, crashed, or was killed).
UpdateRecord AbortedRecord(const Copy& copy) {
    UpdateRecord record;
    record.midiIn = record.midiOut = copy.device;
    record.programVersion = ProgramVersion();
    record.start = copy.start;
    record.end = std::chrono::system_clock::now();
    record.ending = ENDING_ABORTED;
    record.durationMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - copy.steadyStart).count();
    record.blockSends.assign(static_cast<std::size_t>(ImageBlockCount()), 0);
    return record;
}

// The copy's single record from its report, or an Aborted one.
void TakeRecord(Copy& copy) {
    if (const auto text = ReadWholeFile(copy.reportPath)) {
        if (auto records = ParseReportJson(*text); records && records->size() == 1) {
            copy.record = records->front();
            copy.recordedItself = true;
            return;
        }
    }
    copy.record = AbortedRecord(copy);
}

}  // namespace

std::vector<std::string> DevicesToUpdate(const std::vector<std::string>& inNames,
                                         const std::vector<std::string>& outNames) {
    const auto has = [](const std::vector<std::string>& names, const std::string& name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    std::vector<std::string> devices;
    for (int copy = 1; copy <= MAX_COPIES; ++copy) {
        for (const std::string& name : DefaultDeviceNames(copy)) {
            if (has(inNames, name) && has(outNames, name) && !has(devices, name)) devices.push_back(name);
        }
    }
    return devices;
}

std::string DefaultNamesText() {
    std::string text;
    for (auto it = DEFAULT_DEVICE_NAMES.rbegin(); it != DEFAULT_DEVICE_NAMES.rend(); ++it) {
        text += text.empty() ? "\"" : " or \"";
        text += *it;
        text += "\"";
    }
    return text + ", alone or followed by \" (n)\", n = 2 to " + std::to_string(MAX_COPIES);
}

int RunAll(const UpdateAllOptions& options) {
    const fs::path work = MakeWorkFolder();
    if (work.empty()) {
        std::fprintf(stderr, "tarnet-update: no temporary folder for the devices' reports\n");
        return 1;
    }
    int columns = 80;
    const bool inPlace = !options.quiet && ProgressBoard::CanDrawInPlace(stdout, options.devices.size(), columns);
    ProgressBoard board(stdout, options.devices, IMAGE_SIZE, inPlace, columns);
    if (!options.quiet) board.Note("tarnet-update: updating " + std::to_string(options.devices.size()) + " device" +
               (options.devices.size() == 1 ? "" : "s") + " at once");

    LineQueue queue;
    std::vector<std::unique_ptr<Copy>> copies;
    std::size_t running = 0;
    for (std::size_t i = 0; i < options.devices.size(); ++i) {
        auto copy = std::make_unique<Copy>();
        copy->device = options.devices[i];
        copy->reportPath = Utf8Of(work / ("device-" + std::to_string(i + 1) + ".json"));
        copy->start = std::chrono::system_clock::now();
        copy->steadyStart = SteadyClock::now();
        // Each copy keeps its record in the history itself, so that it is kept even when this
        // process is gone before the copy ends.
        std::vector<std::string> args = {"--device", copy->device, "--report", copy->reportPath};
        if (!options.history) args.push_back("--no-history");
        args.insert(args.end(), options.copyArgs.begin(), options.copyArgs.end());
        if (options.quiet) args.push_back("--quiet");
        std::string error;
        if (copy->process.Start(options.program, args, error, true)) {
            try {
                copy->reader = std::thread([&queue, process = &copy->process, i] {
                    std::string line;
                    while (process->ReadLine(line)) queue.Push({i, false, line});
                    queue.Push({i, true, {}});
                });
                copy->running = true;
                running++;
            } catch (const std::system_error& e) {
                copy->process.Kill();
                copy->process.Wait();
                error = std::string("no thread for its output: ") + e.what();
            }
        }
        if (!copy->running) {
            board.Note(copy->device + ": " + error);
            copy->record = AbortedRecord(*copy);
            board.Ended(i, copy->record.ending, 0);
        }
        copies.push_back(std::move(copy));
    }

    // A Ctrl+C that came while the devices were listed or the copies started counts too.
    bool outputLostSaid = false;
    int interruptsSeen = 0;
    bool interrupted = false;
    auto killAt = SteadyClock::now() + std::chrono::seconds(options.timeoutSec) + TIMEOUT_GRACE;
    const auto killRunning = [&] {
        for (auto& c : copies) {
            if (c->running) c->process.Kill();
        }
    };
    while (running > 0) {
        for (OutputLine& line : queue.Take(TICK)) {
            Copy& copy = *copies[line.copy];
            if (!line.end) {
                board.DeviceOutput(line.copy, line.text);
                continue;
            }
            // The output closes when the copy ends; its report is complete by then.
            copy.process.Wait();
            copy.running = false;
            running--;
            TakeRecord(copy);
            board.Ended(line.copy, copy.record.ending, static_cast<double>(copy.record.durationMs) / 1000.0);
        }
        const int interrupts = InterruptCount();
        if (interrupts != interruptsSeen) {
            interruptsSeen = interrupts;
            if (!interrupted) {
                interrupted = true;
                board.Note("tarnet-update: interrupted: ending every update (again to stop them at once)");
                for (auto& c : copies) {
                    if (c->running) c->process.Interrupt();
                }
                killAt = std::min(killAt, SteadyClock::now() + INTERRUPT_GRACE);
            } else {
                killRunning();
            }
        }
        if (SteadyClock::now() >= killAt) {
            killRunning();
            killAt = SteadyClock::time_point::max();
        }
        board.Refresh();
        if (board.OutputLost() && !outputLostSaid) {
            outputLostSaid = true;
            std::fprintf(stderr, "tarnet-update: standard output lost; the updates go on to their end\n");
        }
    }
    for (auto& c : copies) {
        if (c->reader.joinable()) c->reader.join();
    }
    board.Refresh(true);

    std::vector<UpdateRecord> records;
    for (const auto& c : copies) records.push_back(c->record);
    std::printf("\n%s", ClosingTable(records).c_str());
    std::fflush(stdout);
    std::error_code ec;
    fs::remove_all(work, ec);

    // The history gets the records of the copies that left none.
    std::vector<UpdateRecord> unrecorded;
    for (const auto& c : copies) {
        if (!c->recordedItself) unrecorded.push_back(c->record);
    }
    if (options.history) AppendToHistory(unrecorded);
    const bool reportWritten = WriteReport(records, options.reportPath);
    const bool allCompleted = std::all_of(records.begin(), records.end(), [](const UpdateRecord& r) { return r.Completed(); });
    return allCompleted && reportWritten ? 0 : 1;
}
