// tarnet-update's command line: what a run is asked to do, read from its arguments.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "UpdateEngine.h"

struct RunnerOptions {
    std::string inName = "USB Audio Device";   // --device, --in
    std::string outName = "USB Audio Device";  // --device, --out
    std::vector<std::string> devices;          // every --device, for --all
    std::string reportPath;                    // empty: no report
    bool all = false;
    bool copyOfAll = false;  // started by --all for one of its devices
    std::string recordId;    // --record-id: the run id that --all gives a copy's record; empty: none
    bool list = false;
    bool showHistory = false;
    bool history = true;
    bool loopback = false;
    bool measure = false;
    bool quiet = false;
    bool rescan = false;
    bool counts = false;
    EngineTimings timings;
    bool replyTimeoutGiven = false;
    int timeoutSec = 600;
    int lingerMs = 1000;
};

// What the command line asks for, or the exit status when reading it was the whole run (--help,
// --version, a usage error; their text is written by then).
struct ParsedCommandLine {
    RunnerOptions options;
    std::optional<int> exitStatus;
};
ParsedCommandLine ParseCommandLine(int argc, char** argv);

// Writes a usage error (with the usage lines) to standard error; the exit status for it.
int ReportRunnerUsageError(const std::string& text);
