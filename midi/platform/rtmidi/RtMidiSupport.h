// Shared by the RtMidi input and output backends, the program's MIDI on macOS (CoreMIDI):
// constructing RtMidi objects without exceptions or terminal noise, and RtMidi's port names in
// the terms of the naming rule (DeviceNaming.h).
#pragma once

#include <memory>
#include <string>

#include <rtmidi/RtMidi.h>

#include "platform/DeviceNaming.h"

namespace platform::rtmidi {

// Constructs an RtMidi object on CoreMIDI. Null when that fails, and on every other system (the
// program runs its MIDI there on backends of their own). Never throws; an error callback is set
// at once.
std::unique_ptr<RtMidiIn> CreateIn();
std::unique_ptr<RtMidiOut> CreateOut();

// A port by the name RtMidi reports for it: the whole name is the endpoint's own; the part before
// a ':' counts as its client, as on the other systems. `rtMidiPortName` must outlive the result.
PortDescription Describe(const std::string& rtMidiPortName);

// Error callback that swallows RtMidi's warnings and errors (they come back as results instead).
void QuietErrorCallback(RtMidiError::Type type, const std::string& text, void* userData);

}  // namespace platform::rtmidi
