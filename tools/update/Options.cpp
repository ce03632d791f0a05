#include "Options.h"

#include <filesystem>
#include <system_error>

#include "CommandLine.h"
#include "DeviceChoice.h"

namespace {

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
    "A table of the devices, their model, ending, software revision, unit (USB serial number and\n"
    "path, where the system tells them), duration and blocks sent again closes the run.\n"
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
    "                  software revision, USB serial number and path (where known), program\n"
    "                  version, start and end (UTC, ISO 8601), ending, duration, the\n"
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
    "  --copy-of-all   how --all starts its copies: it asks them to end, the console's\n"
    "                  Ctrl+C and Ctrl+Break are left to it\n"
    "  --record-id ID  how --all names the run of a copy: its record (report, history)\n"
    "                  carries ID, by which --all finds it\n"
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
    "  2  usage error (also: --all found no device, or was given one device twice)\n";
const cli::Program PROGRAM{"tarnet-update", USAGE_LINE, HELP};

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

// Reads every option into `o`; throws cli::UsageError. The exit status when --help or --version
// was the whole run.
std::optional<int> ReadOptions(int argc, char** argv, RunnerOptions& o) {
    cli::ArgReader args(argc, argv);
    std::string a;
    bool inOrOut = false;
    while (args.Next(a)) {
        if (const auto done = cli::StandardOption(PROGRAM, a)) return done;
        if (a == "--device") { o.inName = o.outName = args.Value(); o.devices.push_back(o.inName); }
        else if (a == "--in") { o.inName = args.Value(); inOrOut = true; }
        else if (a == "--out") { o.outName = args.Value(); inOrOut = true; }
        else if (a == "--all") { args.NoValue(); o.all = true; }
        else if (a == "--copy-of-all") { args.NoValue(); o.copyOfAll = true; }
        else if (a == "--record-id") o.recordId = args.Value();
        else if (a == "--report") o.reportPath = args.Value();
        else if (a == "--history") { args.NoValue(); o.showHistory = true; }
        else if (a == "--no-history") { args.NoValue(); o.history = false; }
        else if (a == "--list") { args.NoValue(); o.list = true; }
        else if (a == "--loopback") { args.NoValue(); o.loopback = true; }
        else if (a == "--measure") { args.NoValue(); o.measure = true; }
        else if (a == "--quiet") { args.NoValue(); o.quiet = true; }
        else if (a == "--timeout") o.timeoutSec = static_cast<int>(cli::ParseInteger(args.Value(), 1, 86400, "time-out"));
        else if (a == "--linger") o.lingerMs = static_cast<int>(cli::ParseInteger(args.Value(), 0, 3600000, "linger time"));
        else if (a == "--rescan") { args.NoValue(); o.rescan = true; }
        else if (a == "--counts") { args.NoValue(); o.counts = true; }
        else if (a == "--reply-timeout") { o.timings.replyTimeoutMs = static_cast<std::uint32_t>(cli::ParseInteger(args.Value(), 1, 3600000, "reply time-out")); o.replyTimeoutGiven = true; }
        else if (a.rfind("-", 0) == 0) throw cli::UsageError{"unknown option '" + a + "'"};
        else throw cli::UsageError{"unexpected argument '" + a + "'"};
    }
    if (o.all && inOrOut) throw cli::UsageError{"--all updates devices that are both MIDI IN and MIDI OUT: name them with --device"};
    if (o.all && o.copyOfAll) throw cli::UsageError{"--copy-of-all is one device of --all, not --all"};
    if (o.all && o.rescan) throw cli::UsageError{"--rescan is for one device, not --all"};
    if (!o.all && o.devices.size() > 1) throw cli::UsageError{"several devices need --all"};
    if (o.all && !o.recordId.empty()) throw cli::UsageError{"--record-id is for one device, not --all"};
    // Two copies on one device would interleave their messages and take each other's answers.
    if (const auto twice = DevicesSharingAPort(o.devices, {}, {})) throw cli::UsageError{*twice};
    CheckReportFolder(o.reportPath);
    return std::nullopt;
}

}  // namespace

ParsedCommandLine ParseCommandLine(int argc, char** argv) {
    ParsedCommandLine parsed;
    try {
        parsed.exitStatus = ReadOptions(argc, argv, parsed.options);
    } catch (const cli::UsageError& e) {
        parsed.exitStatus = ReportRunnerUsageError(e.text);
    }
    return parsed;
}

int ReportRunnerUsageError(const std::string& text) { return cli::ReportUsageError(PROGRAM, text); }
