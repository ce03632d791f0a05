// The RtMidi backends (CoreMIDI): what "no device" and "no MIDI system" look like.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "CMidiInPort.h"
#include "CMidiOutPort.h"
#include "platform/rtmidi/RtMidiIn.h"
#include "platform/rtmidi/RtMidiOut.h"

namespace {

TEST(RtMidiOutTest, NoSelectionNamesNoDeviceAndOpensNothing) {
    platform::RtMidiOutApi api;
    platform::MidiOutHandle handle = reinterpret_cast<platform::MidiOutHandle>(&api);
    EXPECT_EQ(api.Open(&handle, 0xFFFFFFFFu), platform::MIDI_ERR_BADDEVICEID);
    EXPECT_EQ(handle, nullptr);

    CMidiOutPort port(api);
    EXPECT_FALSE(port.Open(0xFFFFFFFFu));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(port.Open(port.GetDeviceCount() + 1000));  // far past any list, whatever comes and goes
    EXPECT_FALSE(port.IsOpen());
}

TEST(RtMidiOutTest, CallsOnAnUnknownHandleAreRefused) {
    platform::RtMidiOutApi api;
    int notAHandle = 0;
    auto* bogus = reinterpret_cast<platform::MidiOutHandle>(&notAHandle);
    platform::MidiHeader header{};
    char byte = 0;
    header.lpData = &byte;
    header.dwBufferLength = 1;
    EXPECT_EQ(api.PrepareHeader(bogus, &header), platform::MIDI_ERR_INVALHANDLE);
    EXPECT_EQ(api.LongMsg(bogus, &header), platform::MIDI_ERR_INVALHANDLE);
    EXPECT_EQ(api.Close(bogus), platform::MIDI_ERR_INVALHANDLE);
}

// Everywhere but on macOS the backend has no MIDI system: RtMidi, asked for CoreMIDI, would fall
// back to another system it was built with (ALSA, JACK) and say so on the terminal. Runs in its
// own process (one test per process): libjack is pointed at a server name that nobody serves, so
// that a fallback to JACK would print its failure to connect.
TEST(RtMidiOutTest, WithoutCoreMidiThereAreNoDevicesAndNothingIsPrinted) {
#if defined(__APPLE__)
    GTEST_SKIP() << "CoreMIDI is there";
#endif
    const std::string absent = "tarnet-absent-" + std::to_string(::getpid());
    ::setenv("JACK_DEFAULT_SERVER", absent.c_str(), 1);

    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    platform::RtMidiOutApi api;
    CMidiOutPort port(api);
    const std::uint32_t count = port.GetDeviceCount();
    char name[260] = "stale";
    port.GetDeviceName(0, name);
    const bool opened = port.Open(0);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(count, 0u);
    EXPECT_STREQ(name, "");
    EXPECT_FALSE(opened);
    EXPECT_EQ(err, "");
    EXPECT_EQ(out, "");
}

// The input side of the same: nothing to list, a start that fails, a stop that has nothing to end.
TEST(RtMidiInTest, WithoutCoreMidiThereAreNoSourcesAndStartingFailsQuietly) {
#if defined(__APPLE__)
    GTEST_SKIP() << "CoreMIDI is there";
#endif
    const std::string absent = "tarnet-absent-" + std::to_string(::getpid());
    ::setenv("JACK_DEFAULT_SERVER", absent.c_str(), 1);

    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    platform::RtMidiInApi api;
    CMidiInPort port(api);
    const std::uint32_t count = port.GetDeviceCount();
    port.m_deviceIndex = 0;
    const bool started = port.Start();
    port.Stop();
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(started);
    EXPECT_FALSE(port.IsStarted());
    EXPECT_EQ(err, "");
    EXPECT_EQ(out, "");
}

}  // namespace
