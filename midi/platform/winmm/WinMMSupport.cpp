#if defined(_WIN32)

#include "WinMMSupport.h"

#include <windows.h>
#include <mmsystem.h>

#include <climits>
#include <cstddef>

namespace platform {

// The header record is handed to the system as it is, and the codes travel unchanged.
static_assert(sizeof(MidiHeader) == sizeof(MIDIHDR));
static_assert(offsetof(MidiHeader, lpData) == offsetof(MIDIHDR, lpData));
static_assert(offsetof(MidiHeader, dwBufferLength) == offsetof(MIDIHDR, dwBufferLength));
static_assert(offsetof(MidiHeader, dwBytesRecorded) == offsetof(MIDIHDR, dwBytesRecorded));
static_assert(offsetof(MidiHeader, dwUser) == offsetof(MIDIHDR, dwUser));
static_assert(offsetof(MidiHeader, dwFlags) == offsetof(MIDIHDR, dwFlags));
static_assert(offsetof(MidiHeader, lpNext) == offsetof(MIDIHDR, lpNext));
static_assert(offsetof(MidiHeader, reserved) == offsetof(MIDIHDR, reserved));
static_assert(offsetof(MidiHeader, dwOffset) == offsetof(MIDIHDR, dwOffset));
static_assert(offsetof(MidiHeader, dwReserved) == offsetof(MIDIHDR, dwReserved));
static_assert(sizeof(MidiHeader::dwFlags) == sizeof(DWORD));
static_assert(MIDI_HDR_DONE == MHDR_DONE && MIDI_HDR_PREPARED == MHDR_PREPARED &&
              MIDI_HDR_INQUEUE == MHDR_INQUEUE);
static_assert(MIDI_IN_OPEN == MIM_OPEN && MIDI_IN_CLOSE == MIM_CLOSE && MIDI_IN_DATA == MIM_DATA &&
              MIDI_IN_LONGDATA == MIM_LONGDATA && MIDI_IN_ERROR == MIM_ERROR &&
              MIDI_IN_LONGERROR == MIM_LONGERROR);
static_assert(MIDI_OK == MMSYSERR_NOERROR && MIDI_ERR_GENERIC == MMSYSERR_ERROR &&
              MIDI_ERR_BADDEVICEID == MMSYSERR_BADDEVICEID &&
              MIDI_ERR_ALLOCATED == MMSYSERR_ALLOCATED &&
              MIDI_ERR_INVALHANDLE == MMSYSERR_INVALHANDLE &&
              MIDI_ERR_NODRIVER == MMSYSERR_NODRIVER && MIDI_ERR_NOMEM == MMSYSERR_NOMEM &&
              MIDI_ERR_UNPREPARED == MIDIERR_UNPREPARED &&
              MIDI_ERR_STILLPLAYING == MIDIERR_STILLPLAYING &&
              MIDI_ERR_NOTSUPPORTED == MMSYSERR_NOTSUPPORTED &&
              MIDI_ERR_NODEVICE == MIDIERR_NODEVICE);
// A UTF-16 unit takes at most 3 bytes of UTF-8 (a pair of 2 units takes 4).
static_assert(MAX_PNAME_LEN >= 3 * (MAXPNAMELEN - 1) + 1);

void ProductNameToUtf8(const wchar_t* name, std::size_t units, char (&out)[MAX_PNAME_LEN]) {
    out[0] = '\0';
    if (name == nullptr) return;
    std::size_t n = 0;
    while (n < units && name[n] != L'\0') ++n;
    if (n > 0 && name[n - 1] >= 0xD800 && name[n - 1] <= 0xDBFF) --n;  // first half of a cut pair
    if (n == 0 || n > INT_MAX) return;
    const int written = WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(n), out,
                                            static_cast<int>(MAX_PNAME_LEN - 1), nullptr, nullptr);
    // 0: the name did not fit or could not be converted; nothing partial is shown.
    out[written > 0 ? written : 0] = '\0';
}

}  // namespace platform

#endif  // _WIN32
