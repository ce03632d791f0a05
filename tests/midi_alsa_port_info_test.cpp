// The rules behind the ALSA output's pacing, without a sequencer: which ports are paced at the
// cable's speed, where RtMidi's port names carry the address, what a SysEx event costs in a
// receiver's input queue, when a device chosen from a listing is still there, and which raw MIDI
// substream a card's hardware port stands for. And which unit a card is, from a sysfs tree made
// for the test.
#include <gtest/gtest.h>

#include <alsa/asoundlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/alsa/AlsaCardUnit.h"
#include "platform/alsa/AlsaRawMidiOut.h"
#include "platform/alsa/AlsaSeqMidiOut.h"
#include "platform/alsa/AlsaSeqPortInfo.h"

using platform::alsa::NeedsCablePacing;
using platform::alsa::ParseRtMidiPortAddress;
using platform::alsa::SeqAddress;
using platform::alsa::SeqPortKind;

TEST(AlsaPacingRule, OnlyPortsThatStandForHardwareArePacedAtTheCablesSpeed) {
    constexpr unsigned GENERIC = SND_SEQ_PORT_TYPE_MIDI_GENERIC;
    // A program's port (RtMidi's and ours), and the kernel's Midi Through: no card, no hardware.
    EXPECT_FALSE(NeedsCablePacing(SeqPortKind{GENERIC | SND_SEQ_PORT_TYPE_APPLICATION, -1}));
    EXPECT_FALSE(NeedsCablePacing(SeqPortKind{GENERIC | SND_SEQ_PORT_TYPE_SOFTWARE, -1}));
    EXPECT_FALSE(NeedsCablePacing(SeqPortKind{0, -1}));
    // A USB or serial interface (snd-seq-midi marks its ports as hardware) on card 1.
    EXPECT_TRUE(NeedsCablePacing(SeqPortKind{GENERIC | SND_SEQ_PORT_TYPE_HARDWARE | SND_SEQ_PORT_TYPE_PORT, 1}));
    // Hardware whatever the card field says, and a card's generic port even when marked software
    // (snd-virmidi's ports stand for a raw MIDI device of card 0).
    EXPECT_TRUE(NeedsCablePacing(SeqPortKind{SND_SEQ_PORT_TYPE_HARDWARE, -1}));
    EXPECT_TRUE(NeedsCablePacing(SeqPortKind{GENERIC | SND_SEQ_PORT_TYPE_SOFTWARE | SND_SEQ_PORT_TYPE_PORT, 0}));
    // A card's synthesizer port that is no MIDI generic port is not a cable.
    EXPECT_FALSE(NeedsCablePacing(SeqPortKind{SND_SEQ_PORT_TYPE_SYNTH, 0}));
}

TEST(AlsaPacingRule, TheAddressIsReadFromTheEndOfRtMidisPortName) {
    EXPECT_EQ(ParseRtMidiPortAddress("Midi Through:Midi Through Port-0 14:0"), (SeqAddress{14, 0}));
    EXPECT_EQ(ParseRtMidiPortAddress("USB Audio Device:USB Audio Device 128:0"), (SeqAddress{128, 0}));
    // Client names may hold ':' and spaces; only the last word counts.
    EXPECT_EQ(ParseRtMidiPortAddress("A:B 1:2 C:D 20:3"), (SeqAddress{20, 3}));
    EXPECT_FALSE(ParseRtMidiPortAddress("USB Audio Device").has_value());
    EXPECT_FALSE(ParseRtMidiPortAddress("Dev:Port 14:").has_value());
    EXPECT_FALSE(ParseRtMidiPortAddress("Dev:Port :0").has_value());
    EXPECT_FALSE(ParseRtMidiPortAddress("Dev:Port 1a:0").has_value());
    EXPECT_FALSE(ParseRtMidiPortAddress("Dev:Port 14:0 ").has_value());
    EXPECT_FALSE(ParseRtMidiPortAddress("").has_value());
}

TEST(AlsaPacingRule, ASysExEventTakesOneCellPlusOnePerEventSizeOfData) {
    EXPECT_EQ(sizeof(snd_seq_event_t), 28u);
    EXPECT_EQ(platform::alsa::CellsForSysEx(1), 2);
    EXPECT_EQ(platform::alsa::CellsForSysEx(28), 2);
    EXPECT_EQ(platform::alsa::CellsForSysEx(29), 3);
    EXPECT_EQ(platform::alsa::CellsForSysEx(256), 11);
}

TEST(AlsaDeviceChoice, AListedDeviceIsStillThereOnlyAtTheSameAddressUnderTheSameName) {
    using platform::alsa::SeqPortEntry;
    const SeqPortEntry chosen{SeqAddress{130, 0}, "USB Audio Device (2):USB Audio Device (2) 130:0",
                              "USB Audio Device (2)", "USB Audio Device (2)", "USB Audio Device (2)", -1, {}};
    EXPECT_TRUE(platform::SameDevice(chosen, chosen));
    // The device ended and another client got its number.
    EXPECT_FALSE(platform::SameDevice(chosen, SeqPortEntry{SeqAddress{130, 0}, "USB Audio Device (3):USB Audio Device (3) 130:0",
                                                           "USB Audio Device (3)", "USB Audio Device (3)",
                                                           "USB Audio Device (3)", -1, {}}));
    // Another port of the same client.
    EXPECT_FALSE(platform::SameDevice(chosen, SeqPortEntry{SeqAddress{130, 1}, chosen.fullName, chosen.clientName, chosen.portName,
                                                           chosen.listedName, -1, {}}));
    // Nothing listed at that address any more.
    EXPECT_FALSE(platform::SameDevice(chosen, std::nullopt));
}

TEST(AlsaRawMidiBehindAPort, OnlyACardsHardwareMidiPortsMapToTheirRawSubstream) {
    using platform::alsa::RawMidiAddress;
    using platform::alsa::RawMidiBehind;
    constexpr unsigned HARDWARE = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE | SND_SEQ_PORT_TYPE_PORT;
    // snd-seq-midi: port device * 32 + substream.
    EXPECT_EQ(RawMidiBehind(SeqPortKind{HARDWARE, 1}, 0), (RawMidiAddress{1, 0, 0}));
    EXPECT_EQ(RawMidiBehind(SeqPortKind{HARDWARE, 2}, 33), (RawMidiAddress{2, 1, 1}));
    EXPECT_EQ(RawMidiBehind(SeqPortKind{HARDWARE, 0}, 31), (RawMidiAddress{0, 0, 31}));
    // snd-virmidi's ports are software ports of a card; programs and Midi Through have no card;
    // a hardware synthesizer is no raw MIDI substream.
    EXPECT_FALSE(RawMidiBehind(SeqPortKind{SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SOFTWARE | SND_SEQ_PORT_TYPE_PORT, 0}, 0));
    EXPECT_FALSE(RawMidiBehind(SeqPortKind{HARDWARE, -1}, 0));
    EXPECT_FALSE(RawMidiBehind(SeqPortKind{SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION, -1}, 0));
    EXPECT_FALSE(RawMidiBehind(SeqPortKind{SND_SEQ_PORT_TYPE_SYNTH | SND_SEQ_PORT_TYPE_HARDWARE, 0}, 0));
    EXPECT_FALSE(RawMidiBehind(SeqPortKind{HARDWARE, 1}, -1));
}

namespace {

namespace fs = std::filesystem;

// A sysfs tree under a temporary folder, laid out as the kernel lays it out: objects under
// devices/, each with a relative "subsystem" link to its bus, and class/sound/cardN links to the
// cards, whose "device" links lead to what the driver took.
class FakeSysfs {
public:
    FakeSysfs() {
        m_root = fs::temp_directory_path() /
                 ("tarnet-sysfs-" + std::to_string(::getpid()) + "-" +
                  std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
        fs::remove_all(m_root);
        fs::create_directories(m_root / "bus" / "usb");
        fs::create_directories(m_root / "bus" / "pci");
        fs::create_directories(m_root / "class" / "sound");
    }
    ~FakeSysfs() {
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }
    std::string Root() const { return m_root.string(); }

    // A device object at devices/<path> on `bus`.
    fs::path Object(const std::string& path, const std::string& bus) {
        const fs::path object = m_root / "devices" / path;
        fs::create_directories(object);
        fs::create_directory_symlink(fs::relative(m_root / "bus" / bus, object), object / "subsystem");
        return object;
    }
    // Card `card` of the driver that took `owner` (none: a virtual card, with no device).
    void Card(int card, const std::optional<fs::path>& owner) {
        const std::string name = "card" + std::to_string(card);
        const fs::path folder = owner ? *owner / "sound" / name : m_root / "devices" / "virtual" / "sound" / name;
        fs::create_directories(folder);
        if (owner) fs::create_directory_symlink(fs::relative(*owner, folder), folder / "device");
        fs::create_directory_symlink(fs::relative(folder, m_root / "class" / "sound"), m_root / "class" / "sound" / name);
    }
    static void Write(const fs::path& file, const std::string& text) {
        std::ofstream out(file, std::ios::binary);
        out << text;
    }

private:
    fs::path m_root;
};

}  // namespace

TEST(AlsaCardUnit, AUsbCardTellsItsSerialNumberAndItsPlaceOnTheBus) {
    using platform::alsa::CardUnit;
    FakeSysfs sysfs;
    // Behind a hub: bus 1, port 1, port 2 of the hub; the audio interface 1.0 is the card's.
    const fs::path device = sysfs.Object("pci0000:00/0000:00:14.0/usb1/1-1/1-1.2", "usb");
    FakeSysfs::Write(device / "serial", "A1B2C3\n");
    sysfs.Card(1, sysfs.Object("pci0000:00/0000:00:14.0/usb1/1-1/1-1.2/1-1.2:1.0", "usb"));
    EXPECT_EQ(CardUnit(sysfs.Root(), 1), (platform::MidiDevUnit{"A1B2C3", "1-1.2"}));

    // Straight on the root hub, the card on the device's second interface.
    const fs::path other = sysfs.Object("pci0000:00/0000:00:14.0/usb3/3-2", "usb");
    FakeSysfs::Write(other / "serial", "0001\r\n");
    sysfs.Card(2, sysfs.Object("pci0000:00/0000:00:14.0/usb3/3-2/3-2:1.1", "usb"));
    EXPECT_EQ(CardUnit(sysfs.Root(), 2), (platform::MidiDevUnit{"0001", "3-2"}));
}

TEST(AlsaCardUnit, AUsbDeviceWithoutASerialNumberTellsOnlyItsPlace) {
    using platform::alsa::CardUnit;
    FakeSysfs sysfs;
    sysfs.Object("pci0000:00/0000:00:14.0/usb1/1-4", "usb");
    sysfs.Card(1, sysfs.Object("pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0", "usb"));
    EXPECT_EQ(CardUnit(sysfs.Root(), 1), (platform::MidiDevUnit{"", "1-4"}));
    // An empty serial file says no more.
    const fs::path device = sysfs.Object("pci0000:00/0000:00:14.0/usb1/1-5", "usb");
    FakeSysfs::Write(device / "serial", "");
    sysfs.Card(2, sysfs.Object("pci0000:00/0000:00:14.0/usb1/1-5/1-5:1.0", "usb"));
    EXPECT_EQ(CardUnit(sysfs.Root(), 2), (platform::MidiDevUnit{"", "1-5"}));
}

TEST(AlsaCardUnit, ACardThatIsNotOnUsbOrNotThereTellsNothing) {
    using platform::alsa::CardUnit;
    FakeSysfs sysfs;
    // The board's sound chip on PCI, a virtual MIDI card without a device, a USB device whose
    // card link leads to the device itself rather than an interface.
    sysfs.Card(0, sysfs.Object("pci0000:00/0000:00:1f.3", "pci"));
    sysfs.Card(3, std::nullopt);
    const fs::path device = sysfs.Object("pci0000:00/0000:00:14.0/usb1/1-3", "usb");
    FakeSysfs::Write(device / "serial", "X\n");
    sysfs.Card(4, device);
    for (const int card : {0, 3, 4, 5, -1}) {
        SCOPED_TRACE(card);
        EXPECT_EQ(CardUnit(sysfs.Root(), card), platform::MidiDevUnit{});
    }
    // No sysfs at all.
    EXPECT_EQ(CardUnit(sysfs.Root() + "/nowhere", 0), platform::MidiDevUnit{});
}

namespace {

using platform::alsa::SeqPortEntry;

// A port of client `client` as ListBoth lists it: named by its client, on `card` (-1: none) with
// the unit sysfs told for it.
SeqPortEntry Port(int client, const std::string& name, int card, const std::string& usbPath = {}) {
    SeqPortEntry entry{SeqAddress{client, 0}, name + ":" + name + " MIDI 1 " + std::to_string(client) + ":0",
                       name, name + " MIDI 1", name, card, {}};
    if (!usbPath.empty()) entry.unit = platform::MidiDevUnit{"", usbPath};
    return entry;
}

std::vector<std::string> Listed(const std::vector<SeqPortEntry>& entries) {
    std::vector<std::string> names;
    for (const SeqPortEntry& entry : entries) names.push_back(entry.listedName);
    return names;
}

}  // namespace

TEST(AlsaListedNames, ACardIsOneUnitWithOneNumberAsMidiInAndAsMidiOut) {
    using platform::alsa::NameListedPorts;
    const std::string usb = "USB Audio Device";
    // Three USB units of one name on cards 1, 2 and 3; the second shows only MIDI OUT (its
    // device has no output jack). Then the simulator, a program of the same name, and this
    // program's own client.
    std::vector<SeqPortEntry> sources{Port(20, usb, 1, "1-1"), Port(28, usb, 3, "1-3"), Port(128, usb, -1),
                                      Port(129, "Tarnet Updater", -1)};
    std::vector<SeqPortEntry> destinations{Port(20, usb, 1, "1-1"), Port(24, usb, 2, "1-2"), Port(28, usb, 3, "1-3"),
                                           Port(128, usb, -1), Port(129, "Tarnet Updater", -1)};
    NameListedPorts(sources, destinations);
    EXPECT_EQ(Listed(sources), (std::vector<std::string>{"USB Audio Device", "USB Audio Device (3)",
                                                         "USB Audio Device (4)", "Tarnet Updater"}));
    EXPECT_EQ(Listed(destinations),
              (std::vector<std::string>{"USB Audio Device", "USB Audio Device (2)", "USB Audio Device (3)",
                                        "USB Audio Device (4)", "Tarnet Updater"}));
}

TEST(AlsaListedNames, ACardThatSysfsSaysNothingOfIsAUnitByItsCardNumber) {
    using platform::alsa::NameListedPorts;
    // Two virtual MIDI cards of one name (no USB device behind them); the first shows only MIDI IN.
    std::vector<SeqPortEntry> sources{Port(20, "VirMIDI", 1), Port(24, "VirMIDI", 2)};
    std::vector<SeqPortEntry> destinations{Port(24, "VirMIDI", 2)};
    NameListedPorts(sources, destinations);
    EXPECT_EQ(Listed(sources), (std::vector<std::string>{"VirMIDI", "VirMIDI (2)"}));
    EXPECT_EQ(Listed(destinations), (std::vector<std::string>{"VirMIDI (2)"}));

    // Programs' clients alone: numbered in each direction on its own, by client number.
    std::vector<SeqPortEntry> programIns{Port(130, "Synth", -1), Port(128, "Synth", -1)};
    std::vector<SeqPortEntry> programOuts{Port(129, "Synth", -1)};
    NameListedPorts(programIns, programOuts);
    EXPECT_EQ(Listed(programIns), (std::vector<std::string>{"Synth (2)", "Synth"}));
    EXPECT_EQ(Listed(programOuts), (std::vector<std::string>{"Synth"}));
}
