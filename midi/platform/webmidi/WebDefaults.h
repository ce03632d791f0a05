// The web edition's platform services (WebAssembly build only): the one output and input over the
// page's relay and the event loop's timer, which are also what DefaultMidiOutApi,
// DefaultMidiInApi and DefaultTimerService give. They live for the whole program.
#pragma once

#include "platform/webmidi/LoopTimerService.h"
#include "platform/webmidi/WebMidiIn.h"
#include "platform/webmidi/WebMidiOut.h"

namespace platform {

WebMidiOutApi& WebMidiOutput();
WebMidiInApi& WebMidiInput();
LoopTimerService& LoopTimer();

}  // namespace platform
