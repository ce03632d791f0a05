// tarnet-update: runs one update through the engine in a terminal, without the window. It plays
// the window's part (lists, status line, progress bar, message boxes) on standard output, and
// records the run (report, history) as the window does. With --all it starts a copy of itself per
// device instead (UpdateAll.h).
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "ConsoleHost.h"
#include "DeviceChoice.h"
#include "Interrupt.h"
#include "OneUpdate.h"
#include "Options.h"
#include "RecordTable.h"
#include "RunnerMidi.h"
#include "UpdateAll.h"
#include "UpdateEngine.h"

#if defined(_WIN32)
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

// The program's arguments in UTF-8, with pointers for argv.
struct Arguments {
    std::vector<std::string> words;
    std::vector<char*> pointers;
};

// Device names are UTF-8 everywhere in the program, but Windows hands main() its arguments in the
// system's code page, where a Japanese name turns into question marks: there they are taken from
// the UTF-16 command line instead. Elsewhere, and when the command line can't be read, argv as
// it is.
Arguments Utf8Arguments(int argc, char** argv) {
    Arguments args;
#if defined(_WIN32)
    int count = 0;
    if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        for (int i = 0; i < count; ++i) {
            const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
            std::string arg(bytes > 1 ? static_cast<std::size_t>(bytes) : 1u, '\0');
            if (bytes > 1) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), bytes, nullptr, nullptr);
            arg.resize(arg.size() - 1);  // the NUL
            args.words.push_back(std::move(arg));
        }
        LocalFree(wide);
    }
#endif
    if (args.words.empty()) args.words.assign(argv, argv + argc);
    for (std::string& word : args.words) args.pointers.push_back(word.data());
    return args;
}

// Whole lines as they happen, also into a pipe: scripts watch the run's progress.
void PrepareOutput() {
#if defined(_WIN32)
    SetConsoleOutputCP(CP_UTF8);  // names are printed in UTF-8
    // The Windows C runtime has no line buffering (_IOLBF buffers fully there, and a size of 0 is
    // refused as an invalid parameter). Unbuffered, every printf still goes out in one write.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
#else
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
#endif
}

// A closed pipe on standard output (a reader such as "head -1" that has seen enough, a "tee" that
// Ctrl+C ended first, the --all runner that was killed) would end the process with SIGPIPE in the
// middle of a transfer. Ignored, a write to it fails instead, and the update goes on to its end
// and is recorded. Windows has no such signal.
void IgnoreClosedOutput() {
#if !defined(_WIN32)
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

// --list: the devices of the MIDI system (with --loopback, the simulated one).
int ListDevices(const RunnerOptions& options) {
    RunnerMidi midi(options.loopback, options.inName);
    auto engine = std::make_shared<CUpdateEngine>(std::make_shared<ConsoleHost>(options.quiet), midi.Platform(),
                                                  options.timings);
    PrintDeviceLists(*engine);
    return 0;
}

// The names of the MIDI IN and the MIDI OUT devices, for --all before it starts its copies.
struct DeviceLists {
    std::vector<std::string> ins;
    std::vector<std::string> outs;
};
DeviceLists ListDevicesForAll(const RunnerOptions& options) {
    // The engine's ports and its client on the MIDI system go before the copies start.
    RunnerMidi midi(options.loopback, options.inName);
    CUpdateEngine engine(std::make_shared<ConsoleHost>(options.quiet), midi.Platform(), options.timings);
    return {engine.MidiInDeviceNames(), engine.MidiOutDeviceNames()};
}

// --all: a copy of this program per device: those named, or else those of the window's default
// names.
int UpdateAllDevices(const RunnerOptions& options, const char* argv0) {
    const DeviceLists lists = ListDevicesForAll(options);
    UpdateAllOptions all;
    all.devices = options.devices.empty() ? DevicesToUpdate(lists.ins, lists.outs) : options.devices;
    if (all.devices.empty()) {
        return ReportRunnerUsageError("no device found: none of " + DefaultNamesText() +
                                      " is both a MIDI IN and a MIDI OUT (name devices with --device)");
    }
    if (const auto shared = DevicesSharingAPort(all.devices, lists.ins, lists.outs)) {
        return ReportRunnerUsageError(*shared);
    }
    all.program = ChildProcess::OwnProgram(argv0);
    all.reportPath = options.reportPath;
    all.history = options.history;
    all.quiet = options.quiet;
    all.timeoutSec = options.timeoutSec;
    all.copyArgs = {"--linger", std::to_string(options.lingerMs), "--timeout", std::to_string(options.timeoutSec)};
    if (options.replyTimeoutGiven) {
        all.copyArgs.insert(all.copyArgs.end(), {"--reply-timeout", std::to_string(options.timings.replyTimeoutMs)});
    }
    if (options.loopback) all.copyArgs.push_back("--loopback");
    const auto start = std::chrono::steady_clock::now();
    const int status = RunAll(all);
    if (options.measure) {
        std::printf("all: %zu devices in %.0f ms; floor of one update %.0f ms\n", all.devices.size(),
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count(),
                    UpdateFloorMs());
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args = Utf8Arguments(argc, argv);
    PrepareOutput();
    const ParsedCommandLine parsed = ParseCommandLine(static_cast<int>(args.pointers.size()), args.pointers.data());
    if (parsed.exitStatus) return *parsed.exitStatus;
    const RunnerOptions& options = parsed.options;
    if (options.showHistory) return PrintHistory();
    if (options.list) return ListDevices(options);
    // From here an update may be under way, which its output going away must not cut short.
    IgnoreClosedOutput();
    InstallInterruptHandlers(options.all         ? InterruptMode::Runner
                             : options.copyOfAll ? InterruptMode::Copy
                                                 : InterruptMode::Alone);
    const int status = options.all ? UpdateAllDevices(options, args.pointers[0]) : UpdateOneDevice(options);
    EndedInOrder();
    return status;
}
