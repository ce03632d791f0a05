// Shared by the RtMidi input and output backends, the program's MIDI on macOS (CoreMIDI):
// constructing RtMidi objects without exceptions or terminal noise, and RtMidi's port names in
// the terms of the naming rule (DeviceNaming.h).
#pragma once

#include <memory>
#include <string>

#include <rtmidi/RtMidi.h>

#include "platform/DeviceNaming.h"

namespace platform::rtmidi {

// The MIDI system the backends ask RtMidi for: CoreMIDI on macOS; elsewhere RtMidi::UNSPECIFIED,
// which stands for none (the program runs its MIDI there on backends of their own). Tests on
// those systems name another one (RtMidi::UNIX_JACK) to the backends' constructors.
RtMidi::Api ProgramApi();

// Constructs an RtMidi object on `api`. Null when that fails, when `api` is UNSPECIFIED, and when
// this RtMidi was built without `api` (RtMidi would fall back to another system and say so on the
// terminal). Never throws; an error callback is set at once.
std::unique_ptr<RtMidiIn> CreateIn(RtMidi::Api api);
std::unique_ptr<RtMidiOut> CreateOut(RtMidi::Api api);

// A port by the name RtMidi reports for it on `api`. On JACK the name is "CLIENT:PORT"; on the
// other systems the whole name is the endpoint's own and the part before a ':' counts as its
// client. `rtMidiPortName` must outlive the result.
PortDescription Describe(RtMidi::Api api, const std::string& rtMidiPortName);

// Error callback that swallows RtMidi's warnings and errors (they come back as results instead).
void QuietErrorCallback(RtMidiError::Type type, const std::string& text, void* userData);

}  // namespace platform::rtmidi
