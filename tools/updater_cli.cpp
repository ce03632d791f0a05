// tarnet-update: runs one update through the engine in a terminal, without the window. It plays
// the window's part (lists, status line, progress bar, message boxes) on standard output, and
// records the run (report, history) as the window does. With --all it starts a copy of itself per
// device instead (UpdateAll.h).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <optional>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "CommandLine.h"
#include "EngineTexts.h"
#include "FirmwareImage.h"
#include "Interrupt.h"
#include "LoopbackLink.h"
#include "ProgressLine.h"
#include "RecordTable.h"
#include "UpdateAll.h"
#include "UpdateEngine.h"
#include "UpdateHistory.h"
#include "UpdateHost.h"
#include "UpdateRecord.h"
#include "platform/MidiApi.h"
#include "platform/TimerApi.h"

#if defined(_WIN32)
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

// The terminal stands in for the window; every request is served at once on the caller's thread,
// with one lock so lines from the worker and the timer thread never interleave.
class ConsoleHost : public IUpdateHost {
public:
    explicit ConsoleHost(bool quiet)
        : m_quiet(quiet),
          m_progress(stdout, IMAGE_SIZE, ProgressOutput::IsTerminal(stdout), ProgressOutput::Columns(stdout)) {}

    bool ShowStatus(const RunStatus& status) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_recorder.OnStatus(status);
        // One line per block would drown the progress lines; the progress shows the blocks.
        if (status != m_status && status.kind != RunStatus::Kind::DataTransmit &&
            status.kind != RunStatus::Kind::Empty && !m_quiet) {
            m_progress.Line("status: " + StatusText(status));
        }
        m_status = status;
        return true;
    }
    bool SetProgressPos(int position) override {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_quiet) m_progress.Progress(position);
        return true;
    }
    bool EnableControl(HostControl control, bool enable) override {
        std::lock_guard<std::mutex> lock(m_lock);
        (void)control;
        (void)enable;
        return true;
    }
    bool ShowError(EngineError error) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_progress.Line("Error: " + ErrorText(error));
        return true;
    }

    void StartRecord(const std::string& midiIn, const std::string& midiOut) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_recorder.Start(midiIn, midiOut);
    }
    UpdateRecord FinishRecord(const std::string& ending) {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_recorder.Finish(ending);
    }

    // Closes the terminal's progress line before the closing lines are written.
    void EndProgress(bool completed) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_progress.End(completed);
    }

private:
    std::mutex m_lock;  // orders the lines of the worker and the timer thread
    const bool m_quiet;
    RunStatus m_status;  // guarded by m_lock
    ProgressOutput m_progress;  // guarded by m_lock
    UpdateRecorder m_recorder;  // guarded by m_lock
};

// Index of the device called `name` in a device list; the last match wins, as in the window.
// -1 when there is none.
int FindDevice(const std::vector<std::string>& names, const std::string& name) {
    int found = -1;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == name) found = static_cast<int>(i);
    }
    return found;
}

void ListDevices(CUpdateEngine& engine) {
    const auto print = [](const char* title, const std::vector<std::string>& names) {
        std::printf("%s devices:\n", title);
        for (std::size_t i = 0; i < names.size(); ++i) std::printf("  %zu: %s\n", i, names[i].c_str());
    };
    print("MIDI OUT", engine.MidiOutDeviceNames());
    print("MIDI IN", engine.MidiInDeviceNames());
}

const char USAGE_LINE[] =
    "Usage: tarnet-update [OPTION]...\n"
    "  or:  tarnet-update --all [--device NAME]... [OPTION]...\n"
    "  or:  tarnet-update --history\n";
const char HELP[] =
    "Usage: tarnet-update [OPTION]...\n"
    "  or:  tarnet-update --all [--device NAME]... [OPTION]...\n"
    "  or:  tarnet-update --history\n"
    "Run one firmware update in the terminal, without the window: identify the device, check its\n"
    "model, erase its flash, send the image in 36 blocks and finish. On a terminal the progress is\n"
    "one line with speed and time left; otherwise one line per block.\n"
    "\n"
    "With --all, update many devices at once: every device named \"USB Audio Device\" or\n"
    "\"USB Audio Device (2)\" ... \"(20)\" (the names the window selects in its copies) that is\n"
    "both a MIDI IN and a MIDI OUT, or the devices named with --device. Each device is updated by\n"
    "a process of its own, so a fault in one never touches another. On a terminal each device has\n"
    "a progress line redrawn in place; otherwise every event is a line after the device's name.\n"
    "A table of the devices, their model, ending, duration and blocks sent again closes the run.\n"
    "Ctrl+C ends every update in order (a second Ctrl+C at once).\n"
    "\n"
    "Every update is recorded: one line of JSON a device is appended to the history of updates,\n"
    "$XDG_STATE_HOME/tarnet-updater/history.jsonl (by default ~/.local/state/tarnet-updater/;\n"
    "on Windows %LOCALAPPDATA%\\tarnet-updater\\), which --history prints as a table.\n"
    "\n"
    "Options:\n"
    "  --device NAME   MIDI IN and MIDI OUT device (default \"USB Audio Device\"); with --all,\n"
    "                  repeated for each device to update\n"
    "  --all           update every device found (or named with --device) at once\n"
    "  --report FILE   write a JSON report with one record per device: MIDI IN and OUT, model,\n"
    "                  program version, start and end (UTC, ISO 8601), ending, duration, the\n"
    "                  sends of every block and the ratio to the protocol's floor; the file is\n"
    "                  replaced whole at the end (never left half-written)\n"
    "  --history       print the history of updates as a table and exit\n"
    "  --no-history    add nothing to the history\n"
    "  --in NAME       MIDI IN device only\n"
    "  --out NAME      MIDI OUT device only\n"
    "  --list          list the MIDI devices and exit\n"
    "  --loopback      no MIDI system: play the device with the built-in simulator\n"
    "  --measure       print the duration beside the floor that the protocol sets\n"
    "  --quiet         no progress lines (with --all: the devices' errors and endings only)\n"
    "  --timeout SEC   give up after that long (default 600)\n"
    "  --linger MS     keep answering the device's own requests that long after the run\n"
    "                  (default 1000), as the window does while it stays open\n"
    "  --rescan        list the MIDI devices again after the run, as \"Rescan Device\" does\n"
    "  --reply-timeout MS  wait that long for each answer of the device (default 30000);\n"
    "                  for fault tests that end runs early\n"
    "  --counts        on JACK, print one closing line of counts: the program's client as the\n"
    "                  server names it, its cycles, the late cycles the server reported, events\n"
    "                  written, read and lost (the input could not keep them)\n"
    "  --help          display this help and exit\n"
    "  --version       output version information and exit\n"
    "\n"
    "Endings: Completed, IdentityTimeout, IllegalDevice, NotInVersionUpMode, TransferError,\n"
    "BlockTimeout, DeviceGone, SendFailed (the engine's), NotStarted (the MIDI IN did not open),\n"
    "NoEnd (no end within --timeout), Interrupted (Ctrl+C), Aborted (the device's process ended\n"
    "without a record). The last line says how the update ended; a failed one names the phase it\n"
    "reached. A device that leaves during the update ends it at once, with the line \"device\n"
    "disconnected\".\n"
    "\n"
    "Exit status:\n"
    "  0  every update completed\n"
    "  1  an update did not complete, or the report could not be written\n"
    "  2  usage error (also: --all found no device)\n";
const cli::Program PROGRAM{"tarnet-update", USAGE_LINE, HELP};

// The phase that a run reached, for the closing line.
const char* PhaseName(RunPhase phase) {
    switch (phase) {
        case RunPhase::NotStarted: return "before the identity request";
        case RunPhase::Identification: return "identification";
        case RunPhase::Erase: return "erase";
        case RunPhase::Transfer: return "transfer";
        case RunPhase::Finish: return "finish";
    }
    return "unknown";
}

// Prints the history of updates; the exit status.
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

// A usage error when the report could not be created: its folder is missing.
void CheckReportFolder(const std::string& path) {
    if (path.empty()) return;
    std::error_code ec;
    const std::filesystem::path file(std::u8string(reinterpret_cast<const char8_t*>(path.data()), path.size()));
    const std::filesystem::path folder = file.parent_path();
    if (std::filesystem::is_directory(file, ec)) throw cli::UsageError{"report '" + path + "' is a folder"};
    if (!folder.empty() && !std::filesystem::is_directory(folder, ec)) {
        throw cli::UsageError{"no folder for the report '" + path + "'"};
    }
}

#if defined(_WIN32)
// Device names are UTF-8 everywhere in the program, but Windows hands main() its arguments in the
// system's code page, where a Japanese name turns into question marks. The arguments are taken
// from the UTF-16 command line instead. Empty when the command line cannot be read.
std::vector<std::string> Utf8Arguments() {
    std::vector<std::string> args;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return args;
    for (int i = 0; i < count; ++i) {
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string arg(bytes > 1 ? static_cast<std::size_t>(bytes) : 1u, '\0');
        if (bytes > 1) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), bytes, nullptr, nullptr);
        arg.resize(arg.size() - 1);  // the NUL
        args.push_back(std::move(arg));
    }
    LocalFree(wide);
    return args;
}
#endif

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
    std::vector<std::string> utf8Args = Utf8Arguments();
    std::vector<char*> utf8Argv;
    for (std::string& arg : utf8Args) utf8Argv.push_back(arg.data());
    if (!utf8Argv.empty()) {
        argc = static_cast<int>(utf8Argv.size());
        argv = utf8Argv.data();
    }
    SetConsoleOutputCP(CP_UTF8);  // names are printed in UTF-8
#endif
    // Whole lines as they happen, also into a pipe: scripts watch the run's progress.
#if defined(_WIN32)
    // The Windows C runtime has no line buffering (_IOLBF buffers fully there, and a size of 0 is
    // refused as an invalid parameter). Unbuffered, every printf still goes out in one write.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
#else
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
#endif
    std::string inName = "USB Audio Device";
    std::string outName = inName;
    bool list = false, loopback = false, measure = false, quiet = false, rescan = false, counts = false;
    bool all = false, history = true, inOrOut = false, showHistory = false;
    std::vector<std::string> devices;  // every --device, for --all
    std::string reportPath;
    EngineTimings timings;
    bool replyTimeoutGiven = false;
    int timeoutSec = 600;
    int lingerMs = 1000;
    try {
        cli::ArgReader args(argc, argv);
        std::string a;
        while (args.Next(a)) {
            if (const auto done = cli::StandardOption(PROGRAM, a)) return *done;
            if (a == "--device") { inName = outName = args.Value(); devices.push_back(inName); }
            else if (a == "--in") { inName = args.Value(); inOrOut = true; }
            else if (a == "--out") { outName = args.Value(); inOrOut = true; }
            else if (a == "--all") { args.NoValue(); all = true; }
            else if (a == "--report") reportPath = args.Value();
            else if (a == "--history") { args.NoValue(); showHistory = true; }
            else if (a == "--no-history") { args.NoValue(); history = false; }
            else if (a == "--list") { args.NoValue(); list = true; }
            else if (a == "--loopback") { args.NoValue(); loopback = true; }
            else if (a == "--measure") { args.NoValue(); measure = true; }
            else if (a == "--quiet") { args.NoValue(); quiet = true; }
            else if (a == "--timeout") timeoutSec = static_cast<int>(cli::ParseInteger(args.Value(), 1, 86400, "time-out"));
            else if (a == "--linger") lingerMs = static_cast<int>(cli::ParseInteger(args.Value(), 0, 3600000, "linger time"));
            else if (a == "--rescan") { args.NoValue(); rescan = true; }
            else if (a == "--counts") { args.NoValue(); counts = true; }
            else if (a == "--reply-timeout") { timings.replyTimeoutMs = static_cast<std::uint32_t>(cli::ParseInteger(args.Value(), 1, 3600000, "reply time-out")); replyTimeoutGiven = true; }
            else if (a.rfind("-", 0) == 0) throw cli::UsageError{"unknown option '" + a + "'"};
            else throw cli::UsageError{"unexpected argument '" + a + "'"};
        }
        if (all && inOrOut) throw cli::UsageError{"--all updates devices that are both MIDI IN and MIDI OUT: name them with --device"};
        if (all && rescan) throw cli::UsageError{"--rescan is for one device, not --all"};
        if (!all && devices.size() > 1) throw cli::UsageError{"several devices need --all"};
        CheckReportFolder(reportPath);
    } catch (const cli::UsageError& e) {
        return cli::ReportUsageError(PROGRAM, e.text);
    }
    if (showHistory) return PrintHistory();
    // --all ends its copies itself at a second Ctrl+C, and then still prints the table.
    InstallInterruptHandlers(!all);

    // In loopback mode the simulated device lives in this process.
    platform::LoopbackMidiOut loopOut;
    platform::LoopbackMidiIn loopIn;
    std::unique_ptr<devsim::LoopbackLink> link;
    EnginePlatform platform = EnginePlatform::Default();
    if (loopback) {
        devsim::DeviceSimulatorConfig config;
        config.answerDelayMin = std::chrono::milliseconds(0);
        config.answerDelayMax = std::chrono::milliseconds(0);
        config.expectedImage.assign(LoadFirmwareImage(), LoadFirmwareImage() + IMAGE_SIZE);
        link = std::make_unique<devsim::LoopbackLink>(loopOut, loopIn, inName, config);
        platform.midiOut = &loopOut;
        platform.midiIn = &loopIn;
    }

    auto console = std::make_shared<ConsoleHost>(quiet);
    auto engine = std::make_shared<CUpdateEngine>(console, platform, timings);

    if (list) {
        ListDevices(*engine);
        return 0;
    }
    if (all) {
        if (devices.empty()) devices = DevicesToUpdate(engine->MidiInDeviceNames(), engine->MidiOutDeviceNames());
        engine.reset();  // its ports and its client on the MIDI system go before the copies start
        link.reset();
        if (devices.empty()) {
            return cli::ReportUsageError(PROGRAM, "no device found: none of " + DefaultNamesText() +
                                                      " is both a MIDI IN and a MIDI OUT (name devices with --device)");
        }
        UpdateAllOptions options;
        options.program = ChildProcess::OwnProgram(argv[0]);
        options.devices = devices;
        options.reportPath = reportPath;
        options.history = history;
        options.quiet = quiet;
        options.timeoutSec = timeoutSec;
        options.copyArgs = {"--linger", std::to_string(lingerMs), "--timeout", std::to_string(timeoutSec)};
        if (replyTimeoutGiven) options.copyArgs.insert(options.copyArgs.end(), {"--reply-timeout", std::to_string(timings.replyTimeoutMs)});
        if (loopback) options.copyArgs.push_back("--loopback");
        const auto allStart = std::chrono::steady_clock::now();
        const int status = RunAll(options);
        if (measure) {
            std::printf("all: %zu devices in %.0f ms; floor of one update %.0f ms\n", devices.size(),
                        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - allStart).count(),
                        UpdateFloorMs());
        }
        return status;
    }
    const int in = FindDevice(engine->MidiInDeviceNames(), inName);
    const int out = FindDevice(engine->MidiOutDeviceNames(), outName);
    if (!quiet) std::printf("MIDI IN \"%s\": %d, MIDI OUT \"%s\": %d\n", inName.c_str(), in, outName.c_str(), out);
    engine->SelectMidiOut(out);

    engine->StartPollTimer();
    console->StartRecord(inName, outName);
    const auto start = std::chrono::steady_clock::now();
    std::optional<UpdateOutcome> outcome;
    bool interrupted = false;
    const bool started = engine->OnExecute(in);
    if (started) {
        // In slices, so that Ctrl+C closes the run as closing the window does.
        const auto deadline = start + std::chrono::seconds(timeoutSec);
        while (!outcome && std::chrono::steady_clock::now() < deadline) {
            if (InterruptCount() > 0) {
                interrupted = true;
                engine->OnWindowClosing();
                outcome = engine->WaitForRunEnd(CUpdateEngine::WORKER_END_LIMIT);
                break;
            }
            outcome = engine->WaitForRunEnd(std::chrono::milliseconds(100));
        }
    }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const bool completed = outcome == UpdateOutcome::Completed;
    const UpdateRecord record = console->FinishRecord(!started      ? ENDING_NOT_STARTED
                                                      : completed   ? EndingName(UpdateOutcome::Completed)
                                                      : interrupted ? ENDING_INTERRUPTED
                                                      : outcome     ? EndingName(*outcome)
                                                                    : ENDING_NO_END);
    console->EndProgress(completed);
    if (interrupted) lingerMs = 0;
    if (lingerMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(lingerMs));

    // As the window does when it closes: stop input, wake a waiting run, stop the timer.
    engine->OnWindowClosing();
    engine->ReleaseTimer();
    CUpdateEngine::WaitForWorkers(CUpdateEngine::WORKER_END_LIMIT);
    if (rescan) {
        std::printf("rescan:\n");
        ListDevices(*engine);
    }
    const RunPhase reached = engine->PhaseReached();
    engine.reset();
    link.reset();

    if (started && !outcome && !interrupted) std::printf("tarnet-update: no end after %d s\n", timeoutSec);
    if (outcome == UpdateOutcome::DeviceGone) std::printf("tarnet-update: device disconnected\n");
    const bool recordsKept = KeepRecords({record}, reportPath, history);
    if (measure) {
        const double floor = UpdateFloorMs();
        std::printf("update: %.0f ms; floor %.0f ms (one %u ms tick per block, 36 blocks, + 2 ticks); ratio %.2f\n",
                    ms, floor, POLL_PERIOD_MS, ms / floor);
    }
    if (counts) {
        const platform::MidiSystemCounts c = platform::DefaultMidiSystemCounts();
        if (c.kept) {
            std::printf("jack: client \"%s\"; cycles %llu late-cycles %llu events-written %llu events-read %llu "
                        "events-lost %llu\n",
                        c.client.c_str(), static_cast<unsigned long long>(c.cycles),
                        static_cast<unsigned long long>(c.lateCycles), static_cast<unsigned long long>(c.eventsWritten),
                        static_cast<unsigned long long>(c.eventsRead), static_cast<unsigned long long>(c.lostEvents));
        } else {
            std::printf("counts: kept on JACK only\n");
        }
    }
    if (completed) {
        std::printf("tarnet-update: update completed\n");
    } else if (!started) {
        std::printf("tarnet-update: update FAILED (not started)\n");
    } else {
        std::printf("tarnet-update: update FAILED (%s; reached %s)\n",
                    interrupted ? "interrupted" : outcome ? OutcomeName(*outcome) : "no end", PhaseName(reached));
    }
    return completed && recordsKept ? 0 : 1;
}
