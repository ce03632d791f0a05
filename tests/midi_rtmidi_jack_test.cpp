// The RtMidi backends over a JACK server (the program runs them on CoreMIDI only; the logic of
// listing and opening is the same on every system RtMidi serves): what their indexes open while
// ports come and go between the listing and the opening.
#include <gtest/gtest.h>

#include "ListedPortRounds.h"
#include "TestSupport.h"
#include "platform/rtmidi/RtMidiIn.h"
#include "platform/rtmidi/RtMidiOut.h"

// Under ThreadSanitizer: libjack's lock-free ring buffer (RtMidi's JACK output path) is not
// instrumented, so its hand-over between the sender and the JACK thread shows as a race.
extern "C" const char* __tsan_default_suppressions() { return "race:jack_ringbuffer_\nrace:libjack.so\n"; }

namespace {

void IgnoreInput(platform::MidiInHandle, std::uint32_t, std::uintptr_t, std::uintptr_t, std::uintptr_t) {}

// Ports of the test's own on the JACK server, or a skip (or a failure, when JACK is required).
#define REQUIRE_JACK_PORTS(ports)                                                              \
    if (!(ports).Ready()) {                                                                    \
        if (testsupport::JackRequired()) FAIL() << "no JACK server answers";                   \
        GTEST_SKIP() << "no JACK server answers";                                              \
    }

TEST(RtMidiOverJack, AnInputIndexOpensThePortListedThereOrFailsOnceThatPortHasGone) {
    testsupport::JackTestPorts ports("tarnet-rtin-listed", JackPortIsOutput);
    REQUIRE_JACK_PORTS(ports);
    platform::RtMidiInApi api(RtMidi::UNIX_JACK);
    platform::MidiInHandle handle = nullptr;
    testsupport::OpenListedPortsWhilePortsComeAndGo(
        api, ports, [&](std::uint32_t index) { return api.Open(&handle, index, &IgnoreInput, 0); },
        [&] { EXPECT_EQ(api.Close(handle), platform::MIDI_OK); });
}

TEST(RtMidiOverJack, AnOutputIndexOpensThePortListedThereOrFailsOnceThatPortHasGone) {
    testsupport::JackTestPorts ports("tarnet-rtout-listed", JackPortIsInput);
    REQUIRE_JACK_PORTS(ports);
    platform::RtMidiOutApi api(RtMidi::UNIX_JACK);
    platform::MidiOutHandle handle = nullptr;
    testsupport::OpenListedPortsWhilePortsComeAndGo(
        api, ports, [&](std::uint32_t index) { return api.Open(&handle, index); },
        [&] { EXPECT_EQ(api.Close(handle), platform::MIDI_OK); });
}

}  // namespace
