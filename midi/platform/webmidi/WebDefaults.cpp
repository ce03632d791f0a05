#include "platform/webmidi/WebDefaults.h"

namespace platform {

WebMidiOutApi& WebMidiOutput() {
    static WebMidiOutApi api;
    return api;
}

WebMidiInApi& WebMidiInput() {
    static WebMidiInApi api;
    return api;
}

LoopTimerService& LoopTimer() {
    static LoopTimerService service;
    return service;
}

IMidiOutApi& DefaultMidiOutApi() { return WebMidiOutput(); }
IMidiInApi& DefaultMidiInApi() { return WebMidiInput(); }
ITimerService& DefaultTimerService() { return LoopTimer(); }

MidiSystemCounts DefaultMidiSystemCounts() {
    return {};
}

}  // namespace platform
