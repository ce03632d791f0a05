// The rules behind the ALSA output's pacing, without a sequencer: which ports are paced at the
// cable's speed, where RtMidi's port names carry the address, what a SysEx event costs in a
// receiver's input queue, when a device chosen from a listing is still there, and which raw MIDI
// substream a card's hardware port stands for.
#include <gtest/gtest.h>

#include <alsa/asoundlib.h>

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
                              "USB Audio Device (2)", "USB Audio Device (2)", "USB Audio Device (2)"};
    EXPECT_TRUE(platform::SameDevice(chosen, chosen));
    // The device ended and another client got its number.
    EXPECT_FALSE(platform::SameDevice(chosen, SeqPortEntry{SeqAddress{130, 0}, "USB Audio Device (3):USB Audio Device (3) 130:0",
                                                           "USB Audio Device (3)", "USB Audio Device (3)",
                                                           "USB Audio Device (3)"}));
    // Another port of the same client.
    EXPECT_FALSE(platform::SameDevice(chosen, SeqPortEntry{SeqAddress{130, 1}, chosen.fullName, chosen.clientName, chosen.portName,
                                                           chosen.listedName}));
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
