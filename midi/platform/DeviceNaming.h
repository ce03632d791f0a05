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
//
// Identical names. Several devices of one name (three units of one product) are told apart by the
// order in which their MIDI system numbered them: the first keeps the name, the second is listed as
// "NAME (2)", the third "NAME (3)", and so on, which are the names the window's copies 2, 3, ...
// select. A number whose name another listed device (in either list) carries as its own is passed
// over, so that no two entries of a list ever read the same. The system's numbers:
//   - ALSA sequencer: the client number. A card's client has the number of the card (16 + 4 x card;
//     a card takes the lowest free card number when it is plugged in), a program's the lowest free
//     one from 128 on.
//   - JACK: the order in which the server lists the ports (the order in which they were made, a
//     port of a client that left giving its place to the next one made).
//
// One unit, one number in both lists. Where the system tells which unit a port belongs to (an ALSA
// card; a USB device by its place on the bus), the MIDI IN and MIDI OUT lists are numbered together
// by unit: every such unit of a name counts in both lists, also one that shows only one direction,
// so "NAME (2)" is the same unit as MIDI IN and as MIDI OUT, and a unit that lacks a direction
// leaves a gap in that list rather than shifting the next unit onto its number. Devices whose unit
// the system does not tell (a program's client, JACK, WinMM) are numbered after the known units
// of their name, each list on its own (a program may keep its input and its output in two
// clients of one name, which are then two devices to the system).
//
// So a name changes when a unit of the same name with a lower number leaves (the one after it moves
// up) or comes back; a unit that is unplugged and plugged in again while the others stay gets its
// number, and so its name, back.
#pragma once

#include <string>
#include <string_view>
#include <vector>

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

// The listed names of a list's entries whose units the system does not tell: names[i] is entry i's
// name by the rule above, units[i] the number by which its MIDI system tells the devices apart;
// entries of the same number are one device (its ports), and share a name. Devices that share a
// name are numbered as described above, in the order of their numbers. The two vectors have the
// same length.
std::vector<std::string> NumberIdenticalNames(const std::vector<std::string>& names, const std::vector<long>& units);

// One entry of a device list as the numbering of both lists takes it.
struct NamedPort {
    std::string name;  // the entry's name by the rule above
    long order = 0;    // the system's number of its device; ports of one number are one device
    std::string unit;  // the unit it belongs to, where the system tells it; empty where it does not
};

// The listed names of the MIDI IN and the MIDI OUT list (ins[i] is the name of inputs[i]), numbered
// together by unit as described above. A known unit is ordered by the lowest number of its ports.
struct ListedNames {
    std::vector<std::string> ins;
    std::vector<std::string> outs;
};
ListedNames NumberDeviceLists(const std::vector<NamedPort>& inputs, const std::vector<NamedPort>& outputs);

// True for a port of a client of this program (this copy or another one running), named
// CLIENT_NAME or CLIENT_NAME-nn by the MIDI system: such a port is never the device.
bool IsOwnPort(const PortDescription& port);

}  // namespace platform
