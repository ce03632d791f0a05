// The WinMM input backend over the multimedia calls it makes, so that a test can put a stand-in
// driver beneath the backend. The program uses DefaultMidiInApi(), which is the backend over the
// system's own midiIn* functions. Windows only; includes the system headers.
#pragma once

#if defined(_WIN32)

#include <windows.h>
#include <mmsystem.h>

#include <memory>

#include "platform/MidiApi.h"

namespace platform {

// The midiIn* calls beneath the backend, with the system's signatures. The backend opens devices
// with CALLBACK_FUNCTION; the driver calls that function on a thread of its own, and the backend
// calls midiInAddBuffer from inside it (MIM_LONGERROR, and the port's MIM_LONGDATA handling).
struct WinMMInFunctions {
    decltype(&::midiInGetNumDevs) getNumDevs;
    decltype(&::midiInGetDevCapsW) getDevCaps;
    decltype(&::midiInOpen) open;
    decltype(&::midiInReset) reset;
    decltype(&::midiInPrepareHeader) prepareHeader;
    decltype(&::midiInAddBuffer) addBuffer;
    decltype(&::midiInStart) start;
    decltype(&::midiInStop) stop;
    decltype(&::midiInUnprepareHeader) unprepareHeader;
    decltype(&::midiInClose) close;
};

// The system's functions.
const WinMMInFunctions& SystemMidiInFunctions();

// A WinMM input backend over `functions`, which must stay valid while it lives.
std::unique_ptr<IMidiInApi> MakeWinMMMidiInApi(const WinMMInFunctions& functions);

}  // namespace platform

#endif  // _WIN32
