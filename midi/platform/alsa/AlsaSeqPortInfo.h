// What the ALSA sequencer tells about a destination port beyond what RtMidi exposes: its address,
// its type and the sound card behind its client. The output backend uses it to choose how fast
// a long message may be written to the port.
//
// Pacing rule. A port that stands for hardware takes bytes no faster than its cable (31250 baud,
// 320 us per byte) and its driver's buffer overruns silently when it is fed faster; such a port
// is paced at the cable's speed. A port of an application (another program, a software device)
// takes a message as fast as its program reads it; such a port is written at once, each event as
// soon as the receiver's input queue has room for it. (The sequencer drops an event that finds
// the queue full and then empties the whole queue when the receiver next reads, so the sender
// looks before it writes.) A port stands for hardware
// when its type has SND_SEQ_PORT_TYPE_HARDWARE, or when it is a MIDI generic port of a client
// that belongs to a sound card (the kernel's clients of raw MIDI devices, snd-virmidi's included).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "AlsaSeqAddress.h"
#include "platform/DeviceNaming.h"
#include "platform/MidiApi.h"

namespace platform::alsa {

struct SeqPortKind {
    unsigned int type = 0;  // SND_SEQ_PORT_TYPE_* bits of the port
    int card = -1;          // sound card of the port's client; -1 for an application or a global client
};

// One port as listed: its address, its client's and its own name, the name RtMidi would report
// for it ("CLIENT:PORT c:p"), the name it is listed under (DeviceNaming.h: the client's name,
// numbered among clients of the same name), its client's sound card and the unit behind that card
// (AlsaCardUnit.h; ListPorts fills it in).
struct SeqPortEntry {
    SeqAddress address;
    std::string fullName;
    std::string clientName;
    std::string portName;
    std::string listedName;
    int card = -1;  // -1: an application's client or a global one
    MidiDevUnit unit;
};

// The port in the terms of the naming rule (DeviceNaming.h).
inline PortDescription Describe(const SeqPortEntry& entry) {
    return PortDescription{MidiSystem::AlsaSequencer, entry.clientName, entry.portName};
}

// The ports that can be written to (destinations = true) or read from, in the sequencer's order
// of clients and ports and with RtMidi's choice of ports (no system client; MIDI generic, synth
// or application ports with the capabilities to subscribe). Taken in one pass by address, so a
// client that comes or goes meanwhile never shifts another port's name onto a wrong address (as
// asking RtMidi for each name by number can). Asked through the program's client (AlsaSeqClient.h).
// The unit of each card is read from sysfs once per listing (empty where sysfs says nothing), and
// clients of the same name are numbered (listedName) as NameListedPorts does, from one pass over
// both directions, so that a card's number in this list is its number in the other one. Empty
// when the sequencer can't be opened.
std::vector<SeqPortEntry> ListPorts(bool destinations);

// Sets the listedName of every entry of the two directions' listings (the ports that can be read
// from and those that can be written to, with their cards and units filled in): its client's name,
// numbered among clients of that name (DeviceNaming.h). A card is a unit known to the system, one
// USB device by its place on the bus where sysfs tells it: it has one number in both listings,
// also when it shows only one direction. Clients of no card (programs, global clients) are
// numbered after the cards of their name, in each listing on its own, by client number. This
// program's own ports keep their names.
void NameListedPorts(std::vector<SeqPortEntry>& sources, std::vector<SeqPortEntry>& destinations);

// The port at `address` as ListPorts would list it (its listedName unnumbered, its unit not read);
// none when it is not there or not listed.
// Two requests to the sequencer, where ListPorts asks about every client and port.
std::optional<SeqPortEntry> QueryPort(SeqAddress address, bool destinations);

// Cable pacing by the rule above, from a port's type bits and its client's card.
bool NeedsCablePacing(const SeqPortKind& kind);

// The sequencer address at the end of a port name as RtMidi's ALSA backend reports it,
// "CLIENT:PORT NN:MM" (the client name may itself contain ':' and spaces). None when the name
// does not end in two numbers joined by ':' after a space.
std::optional<SeqAddress> ParseRtMidiPortAddress(const std::string& rtMidiPortName);

// Asks the sequencer for the type and card of the port at `address` (and its own name into
// `portName` when given), through the program's client. None when the sequencer can't be opened or the port does not exist.
std::optional<SeqPortKind> QueryPortKind(SeqAddress address, std::string* portName = nullptr);

// The input queue of a user-space client: its size and its free part, in the sequencer's cells
// (one cell per event plus one per 28 bytes of a SysEx event's data).
struct InputRoom {
    int size = 0;
    int free = 0;
};

// Cells that a SysEx event of `length` bytes takes in a receiver's input queue.
int CellsForSysEx(std::size_t length);

// The input queue of `client`, asked through the open sequencer file descriptor `sequencerFd`.
// None for a kernel client (it has no queue) or when the sequencer does not answer.
std::optional<InputRoom> QueryInputRoom(int sequencerFd, int client);

// The unit of the device at `index`: the one GetDevCaps showed there (`shown`), else the one of the
// last listing. MIDI_ERR_BADDEVICEID when neither has it; MIDI_ERR_NOMEM when copying failed. The
// caller holds the lock that guards both.
MidiResult UnitAt(const std::map<std::uint32_t, SeqPortEntry>& shown, const std::vector<SeqPortEntry>& listing,
                  std::uint32_t index, MidiDevUnit& unit);

}  // namespace platform::alsa
