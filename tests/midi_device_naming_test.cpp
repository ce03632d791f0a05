// The naming rule for devices, shared by the backends: which name a port is listed under on each
// MIDI system, how a JACK port's full name divides, and which ports belong to this program.
#include <gtest/gtest.h>

#include <string>

#include "platform/DeviceNaming.h"
#include "platform/jack/JackPortName.h"

namespace {

using platform::DeviceName;
using platform::DescribeJackPort;
using platform::IsOwnPort;
using platform::MidiSystem;
using platform::PortDescription;

TEST(DeviceNaming, OnTheAlsaSequencerADeviceIsListedByItsClientsName) {
    EXPECT_EQ(DeviceName({MidiSystem::AlsaSequencer, "USB Audio Device", "USB Audio Device MIDI 1"}),
              "USB Audio Device");
    // A client's name is taken whole, ':' and all.
    EXPECT_EQ(DeviceName({MidiSystem::AlsaSequencer, "Synth: A", "Port 1"}), "Synth: A");
}

TEST(DeviceNaming, OnJackADeviceIsListedByItsPortsShortName) {
    EXPECT_EQ(DeviceName(DescribeJackPort("USB Audio Device:USB Audio Device")), "USB Audio Device");
    // The two directions of one device in two clients carry one name.
    EXPECT_EQ(DeviceName(DescribeJackPort("USB Audio Device-01:USB Audio Device")), "USB Audio Device");
    // The client's name ends at the first ':'; the short name keeps any that follow.
    EXPECT_EQ(DeviceName(DescribeJackPort("a2j:Midi Through [14] (capture): Midi Through Port-0")),
              "Midi Through [14] (capture): Midi Through Port-0");
    EXPECT_EQ(DeviceName(DescribeJackPort("NoColon")), "NoColon");
}

TEST(DeviceNaming, OnCoreMidiADeviceIsListedByTheEndpointsName) {
    EXPECT_EQ(DeviceName({MidiSystem::CoreMidi, "", "USB Audio Device"}), "USB Audio Device");
}

TEST(DeviceNaming, PortsOfAnyCopyOfThisProgramAreRecognisedAsOurOwn) {
    const auto jack = [](const char* fullName) { return IsOwnPort(DescribeJackPort(fullName)); };
    EXPECT_TRUE(jack("Tarnet Updater:MIDI Out"));
    EXPECT_TRUE(jack("Tarnet Updater-01:MIDI In"));
    EXPECT_TRUE(jack("Tarnet Updater-12:MIDI In 2"));
    EXPECT_FALSE(jack("Tarnet Updaters:in"));
    EXPECT_FALSE(jack("Tarnet Updater-x:in"));
    EXPECT_FALSE(jack("Tarnet Updater-:in"));
    EXPECT_FALSE(jack("Tarnet Updater-01a:in"));
    EXPECT_FALSE(jack("USB Audio Device:midi_playback_1"));
    // By the client's name, not the port's: a device may call its port after anything.
    EXPECT_FALSE(jack("USB Audio Device:Tarnet Updater"));

    EXPECT_TRUE(IsOwnPort({MidiSystem::AlsaSequencer, "Tarnet Updater", "MIDI In"}));
    EXPECT_TRUE(IsOwnPort({MidiSystem::AlsaSequencer, "Tarnet Updater-03", "MIDI Out"}));
    EXPECT_FALSE(IsOwnPort({MidiSystem::AlsaSequencer, "Midi Through", "Tarnet Updater"}));
    EXPECT_EQ(std::string(platform::CLIENT_NAME), "Tarnet Updater");
}

}  // namespace
