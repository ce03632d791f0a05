// Kept apart from UpdateEngine.cpp so that programs which supply their own platform services do
// not link the platform's MIDI and timer backends.
#include "UpdateEngine.h"

EnginePlatform EnginePlatform::Default() {
    return EnginePlatform{&platform::DefaultMidiOutApi(), &platform::DefaultMidiInApi(),
                          &platform::DefaultTimerService()};
}
