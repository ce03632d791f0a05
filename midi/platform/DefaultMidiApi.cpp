// The MIDI backends of the running platform, chosen once for the process: on Linux the program's
// own client on the ALSA sequencer when it can be opened, otherwise the program's own JACK client
// (a JACK server that is not there makes every open fail); RtMidi on CoreMIDI on macOS. WinMM has
// files of its own.
#include "platform/MidiApi.h"

#if defined(__linux__)
#include "platform/alsa/AlsaSeqClient.h"
#include "platform/alsa/AlsaSeqMidiIn.h"
#include "platform/alsa/AlsaSeqMidiOut.h"
#include "platform/jack/JackMidiIn.h"
#include "platform/jack/JackMidiOut.h"
#else
#include "platform/rtmidi/RtMidiIn.h"
#include "platform/rtmidi/RtMidiOut.h"
#endif

namespace platform {

namespace {

bool UseJack() {
#if defined(__linux__)
    static const bool jack = !alsa::SequencerUsable();
    return jack;
#else
    return false;
#endif
}

}  // namespace

IMidiOutApi& DefaultMidiOutApi() {
#if defined(__linux__)
    if (UseJack()) {
        static JackMidiOutApi jack;
        return jack;
    }
    static AlsaSeqMidiOutApi alsa;
    return alsa;
#else
    static RtMidiOutApi api;
    return api;
#endif
}

IMidiInApi& DefaultMidiInApi() {
#if defined(__linux__)
    if (UseJack()) {
        static JackMidiInApi jack;
        return jack;
    }
    static AlsaSeqMidiInApi alsa;
    return alsa;
#else
    static RtMidiInApi api;
    return api;
#endif
}

}  // namespace platform
