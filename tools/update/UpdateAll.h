// tarnet-update --all: several devices updated at once, each by a copy of tarnet-update of its own
// (one engine per process, as in the window), so that a fault in one update never touches another.
// The copies' output comes back through pipes and feeds a ProgressBoard; their reports are merged
// into one.
//
// One record per update in the history, whatever fails: each copy keeps its own record there, so
// that it is kept whatever becomes of this process, and it carries the run id that this process
// gave the copy (--record-id). Once a copy's process has ended (or, killed, has been given up on:
// a killed process runs none of its own code again), the runner looks the id up in the history:
// found, the copy has kept its record, and the runner adds none; not found (the copy's append
// failed, or it was killed or died before it), the runner adds the copy's record itself, the one
// of its report or else an "Aborted" one. The runner's own record carries the id too. Only where
// the history exists but can't be read does the runner take the copy's report (written after its
// history line) as its word that it kept its record.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

// How long the runner waits for its copies. The program uses these; tests make them shorter.
struct UpdateAllLimits {
    // Beyond a copy's own time-out (its closing, the writing of its report); then it is killed.
    std::chrono::milliseconds timeoutGrace{std::chrono::seconds(60)};
    // After Ctrl+C every copy closes its run at once; this long is left for a send under way
    // (see CUpdateEngine::WORKER_END_LIMIT) before the copies are killed.
    std::chrono::milliseconds interruptGrace{std::chrono::seconds(40)};
    // A killed copy that has not ended by then (a process that the system can't end, held in a
    // driver) is given up on: recorded "Aborted" and no longer waited for.
    std::chrono::milliseconds killWait{std::chrono::seconds(10)};
    // Once a copy's process has ended, what it wrote has this long to come through; an output
    // held open by a process that the copy left behind is not waited for beyond it.
    std::chrono::milliseconds outputDrain{std::chrono::seconds(2)};
    // Windows: after the console's close (or the user's logoff, the system's shutdown), which ends
    // this process CONSOLE_CLOSE_LIMIT later, the copies (which hear of it themselves and are asked
    // to end) have this long to end in order before they are killed...
    std::chrono::milliseconds closeGrace{std::chrono::milliseconds(3000)};
    // ...and a killed copy that has not ended this long after is given up on, so that the table,
    // the history and the report are written in the time that is left. The output of a copy that
    // has ended is no longer waited for.
    std::chrono::milliseconds closeKillWait{std::chrono::milliseconds(500)};
};

struct UpdateAllOptions {
    std::string program;                 // the tarnet-update to start for each device
    std::vector<std::string> devices;    // each used as both MIDI IN and MIDI OUT
    std::vector<std::string> copyArgs;   // options that every copy gets besides its device
    std::string reportPath;              // empty: no report
    bool history = true;                 // false: nothing goes into the history
    bool quiet = false;                  // no progress lines: the devices' errors and endings only
    int timeoutSec = 600;                // each copy's own time-out; the runner waits a while longer
    UpdateAllLimits limits;
    std::FILE* out = stdout;             // where the board and the closing table go
};

// The devices that --all takes when none are named: those present in both lists under a name that
// one of the window's copies selects by itself ("USB Audio Device", "USB Audio Device (2)" up to
// "(20)", and the same for the Japanese name), in the order of the copies' numbers. A name listed
// twice is taken once.
std::vector<std::string> DevicesToUpdate(const std::vector<std::string>& inNames,
                                         const std::vector<std::string>& outNames);

// The names DevicesToUpdate looks for, for a message when none is there.
std::string DefaultNamesText();

// Runs the updates and prints the closing table; the exit status: 0 when every device completed,
// 1 otherwise (or when the report could not be written).
int RunAll(const UpdateAllOptions& options);
