#include "RtMidiSupport.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace platform::rtmidi {
namespace {

bool Compiled(RtMidi::Api api) {
    if (api == RtMidi::UNSPECIFIED) return false;
    std::vector<RtMidi::Api> apis;
    RtMidi::getCompiledApi(apis);
    return std::find(apis.begin(), apis.end(), api) != apis.end();
}

template <typename T>
std::unique_ptr<T> Create(RtMidi::Api api) {
    try {
        if (!Compiled(api)) return nullptr;
        auto midi = std::make_unique<T>(api, CLIENT_NAME);
        midi->setErrorCallback(&QuietErrorCallback, nullptr);
        return midi;
    } catch (...) {
        return nullptr;  // the MIDI system did not answer
    }
}

}  // namespace

RtMidi::Api ProgramApi() {
#if defined(__APPLE__)
    return RtMidi::MACOSX_CORE;
#else
    return RtMidi::UNSPECIFIED;
#endif
}

void QuietErrorCallback(RtMidiError::Type, const std::string&, void*) {}

std::unique_ptr<RtMidiIn> CreateIn(RtMidi::Api api) { return Create<RtMidiIn>(api); }
std::unique_ptr<RtMidiOut> CreateOut(RtMidi::Api api) { return Create<RtMidiOut>(api); }

PortDescription Describe(RtMidi::Api api, const std::string& rtMidiPortName) {
    const std::string_view name = rtMidiPortName;
    const std::size_t colon = name.find(':');
    if (api == RtMidi::UNIX_JACK) {
        const std::string_view port = colon == std::string_view::npos ? name : name.substr(colon + 1);
        return PortDescription{MidiSystem::Jack, name.substr(0, colon), port};
    }
    return PortDescription{MidiSystem::CoreMidi, name.substr(0, colon), name};
}

}  // namespace platform::rtmidi
