// tarnet-devsim: plays the device on a virtual MIDI input and output, so that an update can be run
// and checked without hardware. See DevsimOptions.cpp for the command line, README.md for its use.
#include <optional>
#include <string>

#include "DeviceSimulator.h"
#include "DevsimOptions.h"
#include "DevsimRun.h"
#include "DevsimTransports.h"
#include "HostInput.h"

// Under ThreadSanitizer: libjack is not instrumented, so its hand-over of a cycle between the
// server and a client's threads shows as races.
extern "C" const char* __tsan_default_suppressions() {
    return "race:jack_ringbuffer_\nrace:libjack.so\n";
}

int main(int argc, char** argv) {
    const ParsedDevsimCommandLine parsed = ParseDevsimCommandLine(argc, argv);
    if (parsed.exitStatus) return *parsed.exitStatus;
    DevsimOptions options = parsed.options;
    if (!options.quiet) options.config.log = [](const std::string& line) { Print(line); };
    InstallStopSignals();

    DeviceOutput output;  // filled by the transport once its output port is open
    devsim::DeviceSimulator device(options.config, output.Function());
    if (!options.rawPath.empty()) return RunOnRawMidi(options, device, output);

    // On virtual ports: the first MIDI system that can be had.
    HostInput input(device);
    if (const std::optional<int> status = RunOnAlsaSequencer(options, device, output, input)) return *status;
    if (const std::optional<int> status = RunOnJack(options, device, output, input)) return *status;
    return RunOnRtMidi(options, device, output, input);
}
