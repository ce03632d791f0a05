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
#include <random>
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
    std::string runId;  // carried by its record, in the report and the history
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

fs::path PathOf(const std::string& utf8) {
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

// The first part of the run ids of this run's copies ("<part>-<copy>"): unique to the run, so
// that no record of another run, of this or another machine's history, carries one of them.
// The process id and the time tell apart every run on one machine, whatever the randomness
// (the system may have none to give).
std::string RunIdBase() {
#if defined(_WIN32)
    const unsigned long pid = GetCurrentProcessId();
#else
    const unsigned long pid = static_cast<unsigned long>(::getpid());
#endif
    std::uint64_t random = 0;
    try {
        std::random_device device;
        random = (std::uint64_t{device()} << 32) ^ device();
    } catch (const std::exception&) {
        // The process id and the time alone.
    }
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    char text[64];
    std::snprintf(text, sizeof text, "%08lx%016llx%016llx", pid,
                  static_cast<unsigned long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()),
                  static_cast<unsigned long long>(random));
    return text;
}

// What the history holds of one run id.
struct HistoryLookup {
    bool read = true;                    // false: the history exists but could not be read
    std::optional<UpdateRecord> record;  // the record that carries the id, if one does
};

// Looks for the record with `runId` in the history. Only lines that hold the id are read as
// records: a long history costs a search of its text, not the reading of every record. A line
// that a killed writer cut short is no record, whatever it holds.
HistoryLookup FindInHistory(const std::string& runId) {
    const std::string path = HistoryFilePath();
    std::error_code ec;
    if (path.empty() || !fs::exists(PathOf(path), ec)) return {};
    const auto text = ReadWholeFile(path);
    if (!text) return {false, std::nullopt};
    // The JSON text of the member as a record writes it; ids need no escapes.
    const std::string member = "\"run_id\":\"" + runId + "\"";
    for (std::size_t at = text->find(member); at != std::string::npos; at = text->find(member, at + 1)) {
        const std::size_t newline = text->rfind('\n', at);
        const std::size_t begin = newline == std::string::npos ? 0 : newline + 1;
        const std::size_t end = std::min(text->find('\n', at), text->size());
        auto record = ParseRecordJson(std::string_view(*text).substr(begin, end - begin));
        if (record && record->runId == runId) return {true, std::move(record)};
    }
    return {};
}

// The record of a copy that left none (it did not start, crashed, or was killed).
UpdateRecord AbortedRecord(const Copy& copy) {
    UpdateRecord record;
    record.runId = copy.runId;
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

// The copy's single record from its report; none when it left no whole report.
std::optional<UpdateRecord> ReportedRecord(const Copy& copy) {
    if (const auto text = ReadWholeFile(copy.reportPath)) {
        if (auto records = ParseReportJson(*text); records && records->size() == 1) return records->front();
    }
    return std::nullopt;
}

// One run of --all: the copies, their board, and what the main thread does while they run.
class AllRun {
public:
    AllRun(const UpdateAllOptions& options, fs::path work)
        : m_options(options), m_work(std::move(work)), m_runIdBase(RunIdBase()), m_board(MakeBoard(options)) {}

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
            PassOnInterrupts();
            const auto now = SteadyClock::now();
            for (std::size_t i = 0; i < m_copies.size(); ++i) Check(i, now);
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

    // The closing table and the report (the history has every record by then); the exit status.
    int Finish() {
        std::vector<UpdateRecord> records;
        for (const auto& c : m_copies) records.push_back(c->record);
        std::fprintf(m_options.out, "\n%s", ClosingTable(records).c_str());
        std::fflush(m_options.out);
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
        copy.runId = m_runIdBase + "-" + std::to_string(i + 1);
        copy.start = std::chrono::system_clock::now();
        copy.steadyStart = SteadyClock::now();
        // Each copy keeps its record in the history itself, so that it is kept even when this
        // process is gone before the copy ends.
        std::vector<std::string> args = {"--copy-of-all", "--device", copy.device, "--record-id", copy.runId,
                                         "--report", copy.reportPath};
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
        if (m_options.history) AppendToHistory({copy.record});
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
        const auto drain = m_closing ? std::chrono::milliseconds(0) : m_options.limits.outputDrain;
        const auto killWait = m_closing ? m_options.limits.closeKillWait : m_options.limits.killWait;
        if (copy.exited && (copy.outputEnded || now >= copy.exitedAt + drain)) {
            // Its report is complete once its process has ended.
            TakeRecord(copy);
        } else if (!copy.exited && copy.killedAt && now >= *copy.killedAt + killWait) {
            m_board.Note(copy.device + ": no end after it was killed; no longer waited for");
            // Killed, it runs none of its own code again: what it has kept is all it keeps.
            TakeRecord(copy);
        } else {
            return;
        }
        copy.running = false;
        copy.process.StopReading();
        m_board.Ended(i, copy.record.ending, static_cast<double>(copy.record.durationMs) / 1000.0);
    }

    // The copy's record, once it will write no more: the one it kept in the history, found by its
    // run id, or the one of its report, or an Aborted one; and into the history at once when the
    // copy did not keep it there, so that a runner that goes before its end loses no record that
    // it knows.
    void TakeRecord(Copy& copy) {
        const std::optional<UpdateRecord> reported = ReportedRecord(copy);
        const HistoryLookup kept = m_options.history ? FindInHistory(copy.runId) : HistoryLookup{};
        copy.record = reported ? *reported : kept.record ? *kept.record : AbortedRecord(copy);
        if (!m_options.history) return;
        if (!kept.read && !m_historyUnreadSaid) {
            m_historyUnreadSaid = true;
            std::fprintf(stderr, "tarnet-update: the history can't be read: a device's report is taken as its word "
                                 "that it recorded itself\n");
        }
        // Where the history can't be read: a copy that wrote its report had appended (or tried to)
        // before it.
        const bool keptByCopy = kept.read ? kept.record.has_value() : reported.has_value();
        if (keptByCopy) return;
        // Under the copy's id, so that the record is found as the copy's wherever it is looked for.
        UpdateRecord record = copy.record;
        if (!record.runId) record.runId = copy.runId;
        AppendToHistory({record});
    }

    // A close of the console (Windows, which ends this process CONSOLE_CLOSE_LIMIT after it): the
    // copies hear of it themselves and are asked to end (PassOnInterrupts); they have closeGrace
    // for it, then they are killed, and each wait for them is cut short.
    void NoticeConsoleClose() {
        if (m_closing) return;
        const auto closedAt = ConsoleClosedAt();
        if (!closedAt) return;
        m_closing = true;
        m_killAt = std::min(m_killAt, *closedAt + m_options.limits.closeGrace);
    }

    // The first Ctrl+C (also one that came while the devices were listed or the copies started)
    // asks every copy to end in order; the next one kills them.
    void PassOnInterrupts() {
        const int interrupts = InterruptCount();
        // After the count: a close is noted before it is counted.
        NoticeConsoleClose();
        if (interrupts == m_interruptsSeen) return;
        m_interruptsSeen = interrupts;
        if (m_interrupted) {
            // A close after a Ctrl+C leaves the copies the time that the close allows.
            if (!m_closing) KillRunning();
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
    const std::string m_runIdBase;
    ProgressBoard m_board;
    LineQueue m_queue;
    std::vector<std::unique_ptr<Copy>> m_copies;
    SteadyClock::time_point m_killAt = SteadyClock::time_point::max();
    int m_interruptsSeen = 0;
    bool m_interrupted = false;
    bool m_closing = false;  // the console has closed (Windows)
    bool m_outputLostSaid = false;
    bool m_historyUnreadSaid = false;
};

// The copies' close and the runner's records fit in the time that Windows gives after a close,
// with a second left for the records (the history appends, which a writer of the history holds up
// only for its own write, and the report).
static_assert(UpdateAllLimits{}.closeGrace + UpdateAllLimits{}.closeKillWait + std::chrono::seconds(1) <=
              CONSOLE_CLOSE_LIMIT);

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
