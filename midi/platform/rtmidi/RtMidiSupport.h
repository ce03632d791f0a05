// Shared by the RtMidi input and output backends: choosing the MIDI system, constructing RtMidi
// objects without exceptions or terminal noise, and the device-naming rule.
//
// Naming rule. A listed device name is the device's own name, free of numbers that change between
// plugs:
//   - ALSA sequencer: the client name (RtMidi reports "client:port nn:mm"; we keep "client").
//   - JACK: the port's short name, the part after the first ':'. JACK client names are unique, so a
//     device whose two directions live in two clients appears as "NAME" and "NAME-01", while both
//     of its ports can carry the device's name.
// A device that calls itself "USB Audio Device" is thus listed as exactly that on both systems.
#pragma once

#include <memory>
#include <string>

#include <rtmidi/RtMidi.h>

namespace platform::rtmidi {

// Client name under which this program appears in the MIDI system.
inline constexpr const char* CLIENT_NAME = "Tarnet Updater";

// Constructs an RtMidi object on the first MIDI system that works: the ALSA sequencer when
// /dev/snd/seq is usable, otherwise a running JACK server (asked for quietly first) (on macOS: CoreMIDI). Returns null when
// none is there. Never throws; an error callback is set at once, and the libraries' own error
// printing is silenced.
std::unique_ptr<RtMidiIn> CreateIn();
std::unique_ptr<RtMidiOut> CreateOut();

// True when the ALSA sequencer can be opened: CreateIn/CreateOut then use ALSA, else JACK.
bool AlsaSequencerUsable();

// The listed name of a device from RtMidi's port name, following the naming rule above.
std::string DeviceName(RtMidi::Api api, const std::string& rtMidiPortName);

// True for a port of a client of this program (this copy or another one running), named
// CLIENT_NAME or CLIENT_NAME-nn by the MIDI system: such a port is never the device.
bool IsOwnPort(const std::string& rtMidiPortName);

// Error callback that swallows RtMidi's warnings and errors (they come back as results instead).
void QuietErrorCallback(RtMidiError::Type type, const std::string& text, void* userData);

}  // namespace platform::rtmidi
