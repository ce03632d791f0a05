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

#if defined(__linux__)
JackMidiOutApi& JackOut() {
    static JackMidiOutApi jack;
    return jack;
}

JackMidiInApi& JackIn() {
    static JackMidiInApi jack;
    return jack;
}
#endif

}  // namespace

IMidiOutApi& DefaultMidiOutApi() {
#if defined(__linux__)
    if (UseJack()) return JackOut();
    static AlsaSeqMidiOutApi alsa;
    return alsa;
#else
    static RtMidiOutApi api;
    return api;
#endif
}

IMidiInApi& DefaultMidiInApi() {
#if defined(__linux__)
    if (UseJack()) return JackIn();
    static AlsaSeqMidiInApi alsa;
    return alsa;
#else
    static RtMidiInApi api;
    return api;
#endif
}

MidiSystemCounts DefaultMidiSystemCounts() {
    MidiSystemCounts counts;
#if defined(__linux__)
    if (UseJack()) {
        JackClient& client = JackClient::Instance();
        counts.kept = true;
        counts.client = client.ClientName();
        counts.cycles = client.Cycles();
        counts.lateCycles = client.LateCycles();
        counts.eventsWritten = JackOut().EventsWritten();
        counts.eventsRead = JackIn().EventsRead();
        counts.lostEvents = JackIn().LostEvents();
    }
#endif
    return counts;
}

}  // namespace platform
