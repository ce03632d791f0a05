// The program's shared headers after the complete <windows.h> (with its min/max macros and the
// multimedia API's MIM_*, MHDR_* and TIME_* macros), as a Windows window will include them. This
// file compiling is most of the test; the cases check that the values travel unchanged.
#undef NOMINMAX
#undef WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <cstdint>

#include "CDxMTimer.h"
#include "CMidiInPort.h"
#include "CMidiOutPort.h"
#include "Encoding.h"
#include "FirmwareImage.h"
#include "Messages.h"
#include "ReplyEvent.h"
#include "UpdateEngine.h"
#include "UpdateHost.h"
#include "platform/MidiApi.h"
#include "platform/TimerApi.h"
#include "platform/winmm/WinMMSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(SharedHeadersAfterWindowsH, KeepTheMultimediaCodesAndFlagValues) {
    EXPECT_EQ(platform::MIDI_IN_DATA, static_cast<std::uint32_t>(MIM_DATA));
    EXPECT_EQ(platform::MIDI_IN_LONGDATA, static_cast<std::uint32_t>(MIM_LONGDATA));
    EXPECT_EQ(platform::MIDI_IN_LONGERROR, static_cast<std::uint32_t>(MIM_LONGERROR));
    EXPECT_EQ(platform::MIDI_HDR_DONE, static_cast<std::uint32_t>(MHDR_DONE));
    EXPECT_EQ(platform::TIMER_PERIODIC, static_cast<std::uint32_t>(TIME_PERIODIC));
    EXPECT_EQ(platform::TIMER_CALLBACK_FUNCTION, static_cast<std::uint32_t>(TIME_CALLBACK_FUNCTION));
}

TEST(SharedHeadersAfterWindowsH, TheHeaderRecordIsTheSystemsAndItsDoneFlagIsWhereTheSystemSetsIt) {
    platform::MidiHeader header{};
    reinterpret_cast<MIDIHDR*>(&header)->dwFlags |= MHDR_DONE;
    reinterpret_cast<MIDIHDR*>(&header)->dwBytesRecorded = 7;
    EXPECT_NE(header.dwFlags & platform::MIDI_HDR_DONE, 0u);
    EXPECT_EQ(header.dwBytesRecorded, 7u);
    EXPECT_EQ(sizeof header, sizeof(MIDIHDR));
}

TEST(SharedHeadersAfterWindowsH, ThePlatformNameRecordHoldsThirtyOneWideCharactersAsUtf8) {
    EXPECT_GE(platform::MAX_PNAME_LEN, 3u * (MAXPNAMELEN - 1) + 1);
    // (std::min)(...) is how code after <windows.h> without NOMINMAX has to spell it.
    EXPECT_EQ((std::min)(platform::MAX_PNAME_LEN, std::size_t{260}), platform::MAX_PNAME_LEN);
}

}  // namespace
