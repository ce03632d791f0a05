// How a device is named in the device lists, and which ports belong to this program. Shared by
// the backends; each describes its ports to it in neutral terms (PortDescription).
//
// Naming rule. A listed device name is the device's own name, free of numbers that change between
// plugs:
//   - ALSA sequencer: the client's name (the sequencer gives a device one client, its ports are
//     the device's connectors).
//   - JACK: the port's short name, the part after the first ':'. JACK client names are unique, so
//     a device whose two directions live in two clients appears as "NAME" and "NAME-01", while both
//     of its ports can carry the device's name.
//   - CoreMIDI: the endpoint's name as the system reports it.
// A device that calls itself "USB Audio Device" is thus listed as exactly that on every system.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Client name under which this program appears in the MIDI system.
inline constexpr const char* CLIENT_NAME = "Tarnet Updater";

// The MIDI systems, as far as they name their ports differently.
enum class MidiSystem { AlsaSequencer, Jack, CoreMidi };

// One port as its MIDI system shows it. The views must outlive the calls below.
struct PortDescription {
    MidiSystem system = MidiSystem::CoreMidi;
    std::string_view client;  // the client (program or driver) that owns the port
    std::string_view port;    // the port's own name
};

// The listed name of the device behind `port`, by the naming rule above.
std::string DeviceName(const PortDescription& port);

// True for a port of a client of this program (this copy or another one running), named
// CLIENT_NAME or CLIENT_NAME-nn by the MIDI system: such a port is never the device.
bool IsOwnPort(const PortDescription& port);

}  // namespace platform
