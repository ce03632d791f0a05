// The RtMidi output backend without a JACK server of its own: what "no device" and "no MIDI
// system" look like, and which ports are never listed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "CMidiOutPort.h"
#include "platform/rtmidi/RtMidiOut.h"
#include "platform/rtmidi/RtMidiSupport.h"

namespace {

bool AlsaSequencerPresent() {
    const int fd = ::open("/dev/snd/seq", O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

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

// Runs in its own process (one test per process): pointing libjack at a server name that nobody
// serves makes this a machine without any MIDI system.
TEST(RtMidiOutTest, WithoutAnyMidiSystemThereAreNoDevicesAndNothingIsPrinted) {
    if (AlsaSequencerPresent()) GTEST_SKIP() << "an ALSA sequencer is present";
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

TEST(RtMidiOutTest, PortsOfAnyCopyOfThisProgramAreRecognisedAsOurOwn) {
    using platform::rtmidi::IsOwnPort;
    EXPECT_TRUE(IsOwnPort("Tarnet Updater:MIDI Out"));
    EXPECT_TRUE(IsOwnPort("Tarnet Updater-01:MIDI In"));
    EXPECT_TRUE(IsOwnPort("Tarnet Updater:MIDI In 129:0"));
    EXPECT_FALSE(IsOwnPort("Tarnet Updaters:in"));
    EXPECT_FALSE(IsOwnPort("Tarnet Updater-x:in"));
    EXPECT_FALSE(IsOwnPort("Tarnet Updater-:in"));
    EXPECT_FALSE(IsOwnPort("USB Audio Device:midi_playback_1"));
}

}  // namespace
