// The MIDI output backend of the running platform, chosen once for the process: RtMidi on the ALSA
// sequencer when it can be opened, otherwise the program's own JACK client (a JACK server that is
// not there makes every open fail); RtMidi on CoreMIDI on macOS. WinMM has its own file.
#include "MidiApi.h"
#include "RtMidiOut.h"
#include "RtMidiSupport.h"

#if defined(__linux__)
#include "JackMidiOut.h"
#endif

namespace platform {

IMidiOutApi& DefaultMidiOutApi() {
#if defined(__linux__)
    static const bool alsa = rtmidi::AlsaSequencerUsable();
    if (!alsa) {
        static JackMidiOutApi jack;
        return jack;
    }
#endif
    static RtMidiOutApi api;
    return api;
}

}  // namespace platform
