// One update in the terminal: the engine on the MIDI IN and OUT the options name, its progress on
// standard output, the run recorded in the report and the history, the closing lines.
#pragma once

#include "Options.h"
#include "UpdateEngine.h"

// Runs the update; the exit status: 0 when it completed and its report (if asked for) was written.
int UpdateOneDevice(const RunnerOptions& options);

// Prints the system's MIDI OUT and MIDI IN devices, each with its device index; the names (from
// the devices themselves) with their control characters escaped.
void PrintDeviceLists(CUpdateEngine& engine);
