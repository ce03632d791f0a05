#include "AlsaSeqPortInfo.h"

#include <alsa/asoundlib.h>

#include <cctype>
#include <map>
#include <utility>

#include "AlsaCardUnit.h"
#include "AlsaSeqClient.h"

namespace platform::alsa {

bool NeedsCablePacing(const SeqPortKind& kind) {
    if ((kind.type & SND_SEQ_PORT_TYPE_HARDWARE) != 0) return true;
    return (kind.type & SND_SEQ_PORT_TYPE_MIDI_GENERIC) != 0 && kind.card >= 0;
}

int CellsForSysEx(std::size_t length) {
    constexpr std::size_t CELL = sizeof(snd_seq_event_t);
    return 1 + static_cast<int>((length + CELL - 1) / CELL);
}

namespace {

// Parses the decimal number in text[from, to); -1 when it is empty, not all digits or too long.
int Number(const std::string& text, std::size_t from, std::size_t to) {
    if (from >= to || to - from > 6) return -1;
    int value = 0;
    for (std::size_t i = from; i < to; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

}  // namespace

std::optional<SeqAddress> ParseRtMidiPortAddress(const std::string& name) {
    const std::size_t space = name.rfind(' ');
    if (space == std::string::npos) return std::nullopt;
    const std::size_t colon = name.find(':', space + 1);
    if (colon == std::string::npos) return std::nullopt;
    const int client = Number(name, space + 1, colon);
    const int port = Number(name, colon + 1, name.size());
    if (client < 0 || port < 0) return std::nullopt;
    return SeqAddress{client, port};
}

namespace {

// The entry of the port that `port` describes, when it is one that ListPorts lists.
std::optional<SeqPortEntry> Entry(snd_seq_client_info_t* client, snd_seq_port_info_t* port,
                                  bool destinations) {
    const unsigned int caps = destinations ? SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE
                                           : SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
    const unsigned int kinds = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SYNTH | SND_SEQ_PORT_TYPE_APPLICATION;
    const int number = snd_seq_client_info_get_client(client);
    if (number == 0) return std::nullopt;  // the system client
    if ((snd_seq_port_info_get_type(port) & kinds) == 0) return std::nullopt;
    if ((snd_seq_port_info_get_capability(port) & caps) != caps) return std::nullopt;
    const int p = snd_seq_port_info_get_port(port);
    std::string clientName = snd_seq_client_info_get_name(client);
    std::string portName = snd_seq_port_info_get_name(port);
    std::string fullName = clientName + ":" + portName + " " + std::to_string(number) + ":" + std::to_string(p);
    SeqPortEntry entry{SeqAddress{number, p}, std::move(fullName), std::move(clientName), std::move(portName), {}, -1, {}};
    entry.listedName = DeviceName(Describe(entry));
    entry.card = snd_seq_client_info_get_card(client);
    return entry;
}

}  // namespace

namespace {

// Both directions' ports in one pass, unnumbered and without their units.
struct Listing {
    std::vector<SeqPortEntry> sources;
    std::vector<SeqPortEntry> destinations;
};

Listing ListBoth() {
    return SeqClient::Instance().With([](snd_seq_t* seq) {
        Listing listing;
        if (seq == nullptr) return listing;
        snd_seq_client_info_t* client = nullptr;
        snd_seq_port_info_t* port = nullptr;
        if (snd_seq_client_info_malloc(&client) == 0 && snd_seq_port_info_malloc(&port) == 0) {
            snd_seq_client_info_set_client(client, -1);
            while (snd_seq_query_next_client(seq, client) >= 0) {
                const int number = snd_seq_client_info_get_client(client);
                // A program names its client right after opening it and makes its ports after
                // that: the name read before its ports may be the sequencer's "Client-NNN" of a
                // client that has ports by now. So the name is read again after the ports.
                bool named = false;
                snd_seq_port_info_set_client(port, number);
                snd_seq_port_info_set_port(port, -1);
                while (snd_seq_query_next_port(seq, port) >= 0) {
                    if (!named && snd_seq_get_any_client_info(seq, number, client) < 0) break;  // it has gone
                    named = true;
                    if (auto entry = Entry(client, port, false)) listing.sources.push_back(std::move(*entry));
                    if (auto entry = Entry(client, port, true)) listing.destinations.push_back(std::move(*entry));
                }
            }
        }
        if (port != nullptr) snd_seq_port_info_free(port);
        if (client != nullptr) snd_seq_client_info_free(client);
        return listing;
    });
}

// The unit of a card's port for the numbering: its USB device where sysfs tells it, else its card
// (one listing's card numbers name one card each). Empty for a port of no card.
std::string UnitKey(const SeqPortEntry& entry) {
    if (entry.card < 0) return {};
    if (!entry.unit.usbPath.empty()) return "usb " + entry.unit.usbPath;
    return "card " + std::to_string(entry.card);
}

}  // namespace

void NameListedPorts(std::vector<SeqPortEntry>& sources, std::vector<SeqPortEntry>& destinations) {
    // This program's own clients are left to themselves: they go in under their full names, which
    // no other port has, and come out unchanged.
    const auto named = [](const std::vector<SeqPortEntry>& entries) {
        std::vector<NamedPort> ports;
        ports.reserve(entries.size());
        for (const SeqPortEntry& entry : entries) {
            if (IsOwnPort(Describe(entry))) {
                ports.push_back(NamedPort{entry.fullName, entry.address.client, {}});
            } else {
                ports.push_back(NamedPort{DeviceName(Describe(entry)), entry.address.client, UnitKey(entry)});
            }
        }
        return ports;
    };
    const ListedNames listed = NumberDeviceLists(named(sources), named(destinations));
    const auto apply = [](std::vector<SeqPortEntry>& entries, const std::vector<std::string>& names) {
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (!IsOwnPort(Describe(entries[i]))) entries[i].listedName = names[i];
        }
    };
    apply(sources, listed.ins);
    apply(destinations, listed.outs);
}

std::vector<SeqPortEntry> ListPorts(bool destinations) {
    Listing listing = ListBoth();
    // Outside the client's lock: sysfs is no business of the sequencer. A card's ports share its
    // unit, in both directions.
    std::map<int, MidiDevUnit> units;
    for (auto* entries : {&listing.sources, &listing.destinations}) {
        for (SeqPortEntry& entry : *entries) {
            if (entry.card < 0) continue;
            auto found = units.find(entry.card);
            if (found == units.end()) found = units.emplace(entry.card, CardUnit(SYSFS_ROOT, entry.card)).first;
            entry.unit = found->second;
        }
    }
    NameListedPorts(listing.sources, listing.destinations);
    return destinations ? std::move(listing.destinations) : std::move(listing.sources);
}

std::optional<SeqPortEntry> QueryPort(SeqAddress address, bool destinations) {
    return SeqClient::Instance().With([address, destinations](snd_seq_t* seq) {
        std::optional<SeqPortEntry> entry;
        if (seq == nullptr) return entry;
        snd_seq_client_info_t* client = nullptr;
        snd_seq_port_info_t* port = nullptr;
        if (snd_seq_client_info_malloc(&client) == 0 && snd_seq_port_info_malloc(&port) == 0 &&
            snd_seq_get_any_client_info(seq, address.client, client) == 0 &&
            snd_seq_get_any_port_info(seq, address.client, address.port, port) == 0) {
            entry = Entry(client, port, destinations);
        }
        if (port != nullptr) snd_seq_port_info_free(port);
        if (client != nullptr) snd_seq_client_info_free(client);
        return entry;
    });
}

std::optional<SeqPortKind> QueryPortKind(SeqAddress address, std::string* portName) {
    return SeqClient::Instance().With([address, portName](snd_seq_t* seq) {
        std::optional<SeqPortKind> kind;
        if (seq == nullptr) return kind;
        snd_seq_port_info_t* port = nullptr;
        snd_seq_client_info_t* client = nullptr;
        if (snd_seq_port_info_malloc(&port) == 0 && snd_seq_client_info_malloc(&client) == 0 &&
            snd_seq_get_any_port_info(seq, address.client, address.port, port) == 0 &&
            snd_seq_get_any_client_info(seq, address.client, client) == 0) {
            kind = SeqPortKind{snd_seq_port_info_get_type(port), snd_seq_client_info_get_card(client)};
            if (portName != nullptr) *portName = snd_seq_port_info_get_name(port);
        }
        if (client != nullptr) snd_seq_client_info_free(client);
        if (port != nullptr) snd_seq_port_info_free(port);
        return kind;
    });
}

MidiResult UnitAt(const std::map<std::uint32_t, SeqPortEntry>& shown, const std::vector<SeqPortEntry>& listing,
                  std::uint32_t index, MidiDevUnit& unit) {
    unit = {};
    try {
        if (const auto entry = shown.find(index); entry != shown.end()) {
            unit = entry->second.unit;
        } else if (index < listing.size()) {
            unit = listing[index].unit;
        } else {
            return MIDI_ERR_BADDEVICEID;
        }
    } catch (...) {
        unit = {};
        return MIDI_ERR_NOMEM;
    }
    return MIDI_OK;
}

}  // namespace platform::alsa
