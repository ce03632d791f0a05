// The MIDI system that tarnet-update works on: the machine's, or with --loopback in-process devices
// with the built-in simulated device behind them.
#pragma once

#include <memory>
#include <string>

#include "LoopbackLink.h"
#include "UpdateEngine.h"
#include "platform/loopback/LoopbackMidiIn.h"
#include "platform/loopback/LoopbackMidiOut.h"

class RunnerMidi {
public:
    // With `loopback`, a simulated device named `deviceName` that answers at once and expects
    // the program's own image.
    RunnerMidi(bool loopback, const std::string& deviceName);
    // Engines on Platform() must be gone by then.
    ~RunnerMidi() = default;
    RunnerMidi(const RunnerMidi&) = delete;
    RunnerMidi& operator=(const RunnerMidi&) = delete;

    const EnginePlatform& Platform() const { return m_platform; }

private:
    // Declared so that the simulated device goes before the loopbacks it is attached to.
    platform::LoopbackMidiOut m_loopOut;
    platform::LoopbackMidiIn m_loopIn;
    std::unique_ptr<devsim::LoopbackLink> m_link;
    EnginePlatform m_platform = EnginePlatform::Default();
};
