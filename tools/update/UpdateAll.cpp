#include "UpdateAll.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
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
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

using SteadyClock = std::chrono::steady_clock;

// The highest copy number of the window, and so of the default names.
constexpr int MAX_COPIES = 20;
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
    std::chrono::system_clock::time_point start;
    SteadyClock::time_point steadyStart;
    bool running = false;      // started and not yet done with
    bool exited = false;       // its process has ended (and been collected)
    bool outputEnded = false;  // the reader has seen the end of its output
    SteadyClock::time_point exitedAt;
    std::optional<SteadyClock::time_point> killedAt;
    UpdateRecord record;
    // The record came from the copy's report: the copy has kept it in the history itself.
    bool recordedItself = false;
};

// A folder of this run's own for the copies' reports; only its user may enter it (POSIX: made
// 0700 whatever the umask; on Windows the temporary folder is the user's own).
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
#if defined(_WIN32)
        if (fs::create_directory(folder, ec)) return folder;
#else
        if (::mkdir(folder.c_str(), 0700) == 0) return folder;
#endif
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

// One run of --all: the copies, their board, and what the main thread does while they run.
class AllRun {
public:
    AllRun(const UpdateAllOptions& options, fs::path work)
        : m_options(options), m_work(std::move(work)), m_board(MakeBoard(options)) {}

    // Starts a copy per device; a device whose copy can't start ends Aborted at once.
    void StartCopies() {
        if (!m_options.quiet) {
            const std::size_t n = m_options.devices.size();
            m_board.Note("tarnet-update: updating " + std::to_string(n) + " device" + (n == 1 ? "" : "s") + " at once");
        }
        for (std::size_t i = 0; i < m_options.devices.size(); ++i) {
            m_copies.push_back(std::make_unique<Copy>());
            StartCopy(i, *m_copies.back());
        }
        m_killAt = SteadyClock::now() + std::chrono::seconds(m_options.timeoutSec) + m_options.limits.timeoutGrace;
    }

    // Until every copy is done with: their lines onto the board, Ctrl+C passed on, the copies that
    // outlive their time killed, and those that can't be ended given up on.
    void Watch() {
        while (std::any_of(m_copies.begin(), m_copies.end(), [](const auto& c) { return c->running; })) {
            for (OutputLine& line : m_queue.Take(TICK)) {
                if (line.end) m_copies[line.copy]->outputEnded = true;
                else if (m_copies[line.copy]->running) m_board.DeviceOutput(line.copy, line.text);
            }
            const auto now = SteadyClock::now();
            for (std::size_t i = 0; i < m_copies.size(); ++i) Check(i, now);
            PassOnInterrupts();
            if (now >= m_killAt) {
                KillRunning();
                m_killAt = SteadyClock::time_point::max();
            }
            m_board.Refresh();
            if (m_board.OutputLost() && !m_outputLostSaid) {
                m_outputLostSaid = true;
                std::fprintf(stderr, "tarnet-update: standard output lost; the updates go on to their end\n");
            }
        }
        for (auto& c : m_copies) {
            if (c->reader.joinable()) c->reader.join();
        }
        m_board.Refresh(true);
    }

    // The closing table, the report, the history of the copies that kept none; the exit status.
    int Finish() {
        std::vector<UpdateRecord> records;
        std::vector<UpdateRecord> unrecorded;
        for (const auto& c : m_copies) {
            records.push_back(c->record);
            if (!c->recordedItself) unrecorded.push_back(c->record);
        }
        std::fprintf(m_options.out, "\n%s", ClosingTable(records).c_str());
        std::fflush(m_options.out);
        if (m_options.history) AppendToHistory(unrecorded);
        const bool reportWritten = WriteReport(records, m_options.reportPath);
        const bool allCompleted =
            std::all_of(records.begin(), records.end(), [](const UpdateRecord& r) { return r.Completed(); });
        return allCompleted && reportWritten ? 0 : 1;
    }

private:
    static ProgressBoard MakeBoard(const UpdateAllOptions& options) {
        int columns = 80;
        const bool inPlace =
            !options.quiet && ProgressBoard::CanDrawInPlace(options.out, options.devices.size(), columns);
        return ProgressBoard(options.out, options.devices, IMAGE_SIZE, inPlace, columns);
    }

    void StartCopy(std::size_t i, Copy& copy) {
        copy.device = m_options.devices[i];
        copy.reportPath = Utf8Of(m_work / ("device-" + std::to_string(i + 1) + ".json"));
        copy.start = std::chrono::system_clock::now();
        copy.steadyStart = SteadyClock::now();
        // Each copy keeps its record in the history itself, so that it is kept even when this
        // process is gone before the copy ends.
        std::vector<std::string> args = {"--copy-of-all", "--device", copy.device, "--report", copy.reportPath};
        if (!m_options.history) args.push_back("--no-history");
        args.insert(args.end(), m_options.copyArgs.begin(), m_options.copyArgs.end());
        if (m_options.quiet) args.push_back("--quiet");
        std::string error;
        if (copy.process.Start(m_options.program, args, error, true)) {
            try {
                copy.reader = std::thread([queue = &m_queue, process = &copy.process, i] {
                    std::string line;
                    while (process->ReadLine(line)) queue->Push({i, false, line});
                    queue->Push({i, true, {}});
                });
                copy.running = true;
                return;
            } catch (const std::system_error& e) {
                copy.process.Kill();
                copy.process.Wait();
                error = std::string("no thread for its output: ") + e.what();
            }
        }
        m_board.Note(copy.device + ": " + error);
        copy.record = AbortedRecord(copy);
        m_board.Ended(i, copy.record.ending, 0);
    }

    // Done with copy `i` once its process has ended and its output has (or has had its time to
    // come through), or once it has not ended within its time after it was killed.
    void Check(std::size_t i, SteadyClock::time_point now) {
        Copy& copy = *m_copies[i];
        if (!copy.running) return;
        if (!copy.exited && copy.process.TryWait()) {
            copy.exited = true;
            copy.exitedAt = now;
        }
        if (copy.exited && (copy.outputEnded || now >= copy.exitedAt + m_options.limits.outputDrain)) {
            // Its report is complete once its process has ended.
            TakeRecord(copy);
        } else if (!copy.exited && copy.killedAt && now >= *copy.killedAt + m_options.limits.killWait) {
            m_board.Note(copy.device + ": no end after it was killed; no longer waited for");
            copy.record = AbortedRecord(copy);
        } else {
            return;
        }
        copy.running = false;
        copy.process.StopReading();
        m_board.Ended(i, copy.record.ending, static_cast<double>(copy.record.durationMs) / 1000.0);
    }

    // The first Ctrl+C (also one that came while the devices were listed or the copies started)
    // asks every copy to end in order; the next one kills them.
    void PassOnInterrupts() {
        const int interrupts = InterruptCount();
        if (interrupts == m_interruptsSeen) return;
        m_interruptsSeen = interrupts;
        if (m_interrupted) {
            KillRunning();
            return;
        }
        m_interrupted = true;
        m_board.Note("tarnet-update: interrupted: ending every update (again to stop them at once)");
        for (auto& c : m_copies) {
            if (c->running && !c->exited) c->process.Interrupt();
        }
        m_killAt = std::min(m_killAt, SteadyClock::now() + m_options.limits.interruptGrace);
    }

    void KillRunning() {
        const auto now = SteadyClock::now();
        for (auto& c : m_copies) {
            if (!c->running || c->exited) continue;
            c->process.Kill();
            if (!c->killedAt) c->killedAt = now;
        }
    }

    const UpdateAllOptions& m_options;
    const fs::path m_work;
    ProgressBoard m_board;
    LineQueue m_queue;
    std::vector<std::unique_ptr<Copy>> m_copies;
    SteadyClock::time_point m_killAt = SteadyClock::time_point::max();
    int m_interruptsSeen = 0;
    bool m_interrupted = false;
    bool m_outputLostSaid = false;
};

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
    int status = 1;
    {
        AllRun run(options, work);
        run.StartCopies();
        run.Watch();
        status = run.Finish();
    }
    std::error_code ec;
    fs::remove_all(work, ec);
    return status;
}
