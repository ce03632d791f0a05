// The naming rule for devices, shared by the backends: which name a port is listed under on each
// MIDI system, how a JACK port's full name divides, and which ports belong to this program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/DeviceNaming.h"
#include "platform/jack/JackPortName.h"

namespace {

using platform::DeviceName;
using platform::DescribeJackPort;
using platform::IsOwnPort;
using platform::ListedJackNames;
using platform::MidiSystem;
using platform::NamedPort;
using platform::NumberDeviceLists;
using platform::NumberIdenticalNames;
using Names = std::vector<std::string>;
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

TEST(DeviceNaming, OnJackPortsOfTheSameShortNameAreNumberedInTheServersOrder) {
    // Two simulated devices of one name, each with its input in one client and its output in
    // another, as JACK made their clients' names unique; and a device of another name.
    EXPECT_EQ(ListedJackNames({"USB Audio Device:USB Audio Device", "Synth:in", "USB Audio Device-02:USB Audio Device"}),
              (Names{"USB Audio Device", "in", "USB Audio Device (2)"}));
    EXPECT_EQ(ListedJackNames({}), Names{});
}

TEST(DeviceNaming, OnCoreMidiADeviceIsListedByTheEndpointsName) {
    EXPECT_EQ(DeviceName({MidiSystem::CoreMidi, "", "USB Audio Device"}), "USB Audio Device");
}

TEST(DeviceNaming, IdenticalDevicesAreNumberedInTheOrderOfTheSystemsNumbers) {
    // Three units of one product among other devices, listed in the system's order.
    EXPECT_EQ(NumberIdenticalNames({"Midi Through", "USB Audio Device", "f_midi", "USB Audio Device", "f_midi",
                                    "USB Audio Device"},
                                   {14, 24, 28, 32, 36, 40}),
              (Names{"Midi Through", "USB Audio Device", "f_midi", "USB Audio Device (2)", "f_midi (2)",
                     "USB Audio Device (3)"}));
    // Listed out of the numbers' order, they are still numbered by the numbers: the position of an
    // entry stays its device index.
    EXPECT_EQ(NumberIdenticalNames({"USB Audio Device", "USB Audio Device", "USB Audio Device"}, {40, 24, 32}),
              (Names{"USB Audio Device (3)", "USB Audio Device", "USB Audio Device (2)"}));
    // A name alone keeps it; nothing else changes.
    EXPECT_EQ(NumberIdenticalNames({"USB Audio Device", "Synth"}, {24, 128}), (Names{"USB Audio Device", "Synth"}));
    EXPECT_EQ(NumberIdenticalNames({}, {}), Names{});
}

TEST(DeviceNaming, TheTwentiethUnitIsListedAsTheTwentiethCopySelectsIt) {
    Names names(20, "USB Audio Device");
    std::vector<long> units;
    for (long k = 0; k < 20; ++k) units.push_back(16 + 4 * k);
    const Names listed = NumberIdenticalNames(names, units);
    EXPECT_EQ(listed[0], "USB Audio Device");
    EXPECT_EQ(listed[1], "USB Audio Device (2)");
    EXPECT_EQ(listed[9], "USB Audio Device (10)");
    EXPECT_EQ(listed[19], "USB Audio Device (20)");
}

TEST(DeviceNaming, PortsOfOneUnitShareItsNumber) {
    // A device with two ports (both of client 24) and a second unit of the same name (client 32).
    EXPECT_EQ(NumberIdenticalNames({"USB Audio Device", "USB Audio Device", "USB Audio Device"}, {24, 24, 32}),
              (Names{"USB Audio Device", "USB Audio Device", "USB Audio Device (2)"}));
}

TEST(DeviceNaming, ANumberThatAnotherDeviceCarriesAsItsOwnNameIsPassedOver) {
    // A device that calls itself "USB Audio Device (2)" keeps that name; the second unit of
    // "USB Audio Device" becomes "(3)", so no two entries read the same.
    EXPECT_EQ(NumberIdenticalNames({"USB Audio Device", "USB Audio Device (2)", "USB Audio Device"}, {24, 128, 32}),
              (Names{"USB Audio Device", "USB Audio Device (2)", "USB Audio Device (3)"}));
}

// The MIDI IN and MIDI OUT lists numbered together: a unit that the system tells has one number in
// both, whatever directions the other units show.
constexpr const char* USB = "USB Audio Device";

TEST(DeviceNamingByUnit, AUnitThatShowsOnlyOneDirectionKeepsItsNumberAndTheNextUnitsStayPaired) {
    // Units A (client 24) and C (32) show both directions, B (28) only MIDI OUT. Numbered each list
    // on its own, C would be "(2)" as MIDI IN but "(3)" as MIDI OUT, and "(2)" would pair C's input
    // with B's output.
    const auto listed = NumberDeviceLists({{USB, 24, "usb 1-1"}, {USB, 32, "usb 1-3"}},
                                          {{USB, 24, "usb 1-1"}, {USB, 28, "usb 1-2"}, {USB, 32, "usb 1-3"}});
    EXPECT_EQ(listed.ins, (Names{"USB Audio Device", "USB Audio Device (3)"}));
    EXPECT_EQ(listed.outs, (Names{"USB Audio Device", "USB Audio Device (2)", "USB Audio Device (3)"}));

    // The first unit shows only MIDI IN: no MIDI OUT entry takes its plain name.
    const auto firstInOnly = NumberDeviceLists({{USB, 24, "card 1"}, {USB, 28, "card 2"}}, {{USB, 28, "card 2"}});
    EXPECT_EQ(firstInOnly.ins, (Names{"USB Audio Device", "USB Audio Device (2)"}));
    EXPECT_EQ(firstInOnly.outs, (Names{"USB Audio Device (2)"}));

    // Nothing in one list: the other is numbered by unit all the same.
    const auto noInputs = NumberDeviceLists({}, {{USB, 28, "card 2"}, {USB, 24, "card 1"}});
    EXPECT_TRUE(noInputs.ins.empty());
    EXPECT_EQ(noInputs.outs, (Names{"USB Audio Device (2)", "USB Audio Device"}));
}

TEST(DeviceNamingByUnit, EveryUnitCarriesOneNameInBothListsForAnyMixOfDirections) {
    // Twenty units of one name (the copies' limit): every third shows both directions, the others
    // only one of them, by turns. Every name found in both lists names one unit.
    std::vector<NamedPort> ins;
    std::vector<NamedPort> outs;
    for (long k = 0; k < 20; ++k) {
        const NamedPort port{USB, 16 + 4 * k, "card " + std::to_string(k)};
        if (k % 3 != 1) ins.push_back(port);
        if (k % 3 != 2) outs.push_back(port);
    }
    const auto listed = NumberDeviceLists(ins, outs);
    ASSERT_EQ(listed.ins.size(), ins.size());
    ASSERT_EQ(listed.outs.size(), outs.size());
    for (std::size_t i = 0; i < ins.size(); ++i) {
        // Unit k is numbered k + 1 wherever it shows.
        const long k = (ins[i].order - 16) / 4;
        EXPECT_EQ(listed.ins[i], k == 0 ? std::string(USB) : std::string(USB) + " (" + std::to_string(k + 1) + ")");
        for (std::size_t o = 0; o < outs.size(); ++o) {
            EXPECT_EQ(listed.ins[i] == listed.outs[o], ins[i].unit == outs[o].unit) << listed.ins[i];
        }
    }
    EXPECT_EQ(listed.outs.back(), "USB Audio Device (20)");
}

TEST(DeviceNamingByUnit, AUnitIsOrderedByTheLowestNumberOfItsPortsAndItsPortsShareItsName) {
    // A unit with two clients (two cards of one USB device), 24 and 40, and a unit of client 32.
    const auto listed = NumberDeviceLists({{USB, 40, "usb 1-1"}, {USB, 32, "usb 1-2"}},
                                          {{USB, 24, "usb 1-1"}, {USB, 32, "usb 1-2"}, {USB, 40, "usb 1-1"}});
    EXPECT_EQ(listed.ins, (Names{"USB Audio Device", "USB Audio Device (2)"}));
    EXPECT_EQ(listed.outs, (Names{"USB Audio Device", "USB Audio Device (2)", "USB Audio Device"}));
}

TEST(DeviceNamingByUnit, DevicesOfUnknownUnitFollowTheKnownUnitsAndAreNumberedInEachListAsBefore) {
    // Cards A (24, both), B (28, MIDI OUT only); programs of the same name: X (128) with MIDI IN only,
    // Y (129) with both. X never takes B's "(2)" in MIDI IN; the programs are numbered after the
    // cards, each list on its own by client number.
    const auto listed = NumberDeviceLists({{USB, 24, "card 1"}, {USB, 128, ""}, {USB, 129, ""}},
                                          {{USB, 24, "card 1"}, {USB, 28, "card 2"}, {USB, 129, ""}});
    EXPECT_EQ(listed.ins, (Names{"USB Audio Device", "USB Audio Device (3)", "USB Audio Device (4)"}));
    EXPECT_EQ(listed.outs, (Names{"USB Audio Device", "USB Audio Device (2)", "USB Audio Device (3)"}));

    // Without known units, each list as NumberIdenticalNames numbers it.
    const auto programs = NumberDeviceLists({{USB, 130, ""}, {"Synth", 131, ""}, {USB, 128, ""}}, {{USB, 129, ""}});
    EXPECT_EQ(programs.ins, NumberIdenticalNames({USB, "Synth", USB}, {130, 131, 128}));
    EXPECT_EQ(programs.ins, (Names{"USB Audio Device (2)", "Synth", "USB Audio Device"}));
    EXPECT_EQ(programs.outs, (Names{"USB Audio Device"}));
}

TEST(DeviceNamingByUnit, ANumberThatADeviceOfEitherListCarriesAsItsOwnNameIsPassedOverInBoth) {
    // A program that calls itself "USB Audio Device (2)" shows only MIDI OUT; the second card is
    // "(3)" in both lists, not "(2)" as MIDI IN.
    const auto listed = NumberDeviceLists({{USB, 24, "card 1"}, {USB, 28, "card 2"}},
                                          {{USB, 24, "card 1"}, {"USB Audio Device (2)", 128, ""}, {USB, 28, "card 2"}});
    EXPECT_EQ(listed.ins, (Names{"USB Audio Device", "USB Audio Device (3)"}));
    EXPECT_EQ(listed.outs, (Names{"USB Audio Device", "USB Audio Device (2)", "USB Audio Device (3)"}));
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
