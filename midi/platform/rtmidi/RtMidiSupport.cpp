#include "RtMidiSupport.h"

#include <string_view>

namespace platform::rtmidi {
namespace {

template <typename T>
std::unique_ptr<T> Create() {
#if defined(__APPLE__)
    try {
        auto midi = std::make_unique<T>(RtMidi::MACOSX_CORE, CLIENT_NAME);
        midi->setErrorCallback(&QuietErrorCallback, nullptr);
        return midi;
    } catch (...) {
        return nullptr;  // CoreMIDI did not answer
    }
#else
    // RtMidi would fall back to another system it was built with, and say so on the terminal.
    return nullptr;
#endif
}

}  // namespace

void QuietErrorCallback(RtMidiError::Type, const std::string&, void*) {}

std::unique_ptr<RtMidiIn> CreateIn() { return Create<RtMidiIn>(); }
std::unique_ptr<RtMidiOut> CreateOut() { return Create<RtMidiOut>(); }

PortDescription Describe(const std::string& rtMidiPortName) {
    const std::string_view name = rtMidiPortName;
    return PortDescription{MidiSystem::CoreMidi, name.substr(0, name.find(':')), name};
}

}  // namespace platform::rtmidi
