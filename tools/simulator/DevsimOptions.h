// tarnet-devsim's command line: the device to play, where to play it, and how to end, read from
// its arguments.
#pragma once

#include <optional>
#include <string>

#include "DeviceSimulator.h"

struct DevsimOptions {
    devsim::DeviceSimulatorConfig config;  // its log is main's to set
    std::string name = "USB Audio Device";
    std::string outPath;      // --out: the received image
    std::string rawPath;      // --rawmidi: play at the far end of this raw MIDI device instead
    std::string capturePath;  // --capture: every byte read from the raw MIDI device
    unsigned byteRate = 0;    // --byte-rate: bytes read per second (0: as they come)
    long rawBuffer = 0;       // --rawmidi-buffer (0: the driver's own)
    bool serve = false;
    long timeoutSec = 300;    // 0: no limit
    bool quiet = false;
    bool counts = false;
};

// What the command line asks for, or the exit status when reading it was the whole run (--help,
// --version, a usage error; their text is written by then).
struct ParsedDevsimCommandLine {
    DevsimOptions options;
    std::optional<int> exitStatus;
};
ParsedDevsimCommandLine ParseDevsimCommandLine(int argc, char** argv);
