// How a run of tarnet-devsim ends, and what it prints: its lines, the stop signals, the wait for
// the update, and the closing verdict with its exit status.
#pragma once

#include <string>

#include "DevsimOptions.h"

// One line "devsim: LINE" on standard output, flushed at once so that scripts see it; any thread,
// one line at a time.
void Print(const std::string& line);

// SIGINT and SIGTERM end the wait for the update (the verdict then says so).
void InstallStopSignals();

// Waits for the update to end (with --serve: for a signal or the time-out) or a signal; true when
// the time-out ended it.
bool WaitForEnd(const DevsimOptions& options, devsim::DeviceSimulator& device);

// Writes the image (--out), prints the verdict line and returns the exit status: 0 PASS, 1 FAIL.
// `lost` names bytes that the transport lost on their way to the device: they fail a verdict that
// passed.
int FinishRun(const DevsimOptions& options, devsim::DeviceSimulator& device, bool timedOut,
              const std::string& lost = {});
