// Connects a DeviceSimulator to in-process loopback MIDI devices: what the host sends to the
// output device reaches the simulator, and what the simulator sends arrives at the input device.
// Used by the engine tests and by programs that run an update without a MIDI system.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <utility>

#include "DeviceSimulator.h"
#include "platform/loopback/LoopbackMidiIn.h"
#include "platform/loopback/LoopbackMidiOut.h"

namespace devsim {

class LoopbackLink {
public:
    // Adds an output and an input device called `name` to the loopbacks and plays the device
    // behind them. The loopbacks must outlive the link.
    LoopbackLink(platform::LoopbackMidiOut& out, platform::LoopbackMidiIn& in, const std::string& name,
                 DeviceSimulatorConfig config)
        : m_out(out), m_in(in), m_name(name) {
        m_outDevice = m_out.AddDevice(name);
        m_in.AddDevice(name);
        // The simulator sends from its own worker thread; that thread plays the MIDI system's
        // input callback thread.
        m_sim = std::make_unique<DeviceSimulator>(std::move(config), [this](const std::vector<uint8_t>& m) {
            m_in.Deliver(m_name, m);
        });
        // Runs on the host's sending thread, inside the send; the simulator only queues.
        m_out.SetListener(m_outDevice, [this](const std::uint8_t* bytes, std::size_t length) {
            m_sim->OnMessageFromHost(bytes, length);
        });
    }

    // The devices disappear with the link. The host must have stopped sending to it.
    ~LoopbackLink() {
        m_out.SetListener(m_outDevice, nullptr);
        m_sim->Stop();
        // The input goes by name: once vanished, a device of the same name is another one.
        if (m_vanished.exchange(true)) return;
        m_out.RemoveDevice(m_outDevice);
        m_in.RemoveDevice(m_name);
    }

    LoopbackLink(const LoopbackLink&) = delete;
    LoopbackLink& operator=(const LoopbackLink&) = delete;

    // The device is unplugged: its output and input leave the loopbacks' lists (an input open on
    // it hears MIDI_IN_CLOSE, a watch of the output and a send to it see it gone) and nothing the
    // simulator sends arrives any more. Any thread; the destructor copes with it.
    void Vanish() {
        if (m_vanished.exchange(true)) return;
        m_out.RemoveDevice(m_outDevice);
        m_in.RemoveDevice(m_name);
    }

    DeviceSimulator& Simulator() { return *m_sim; }
    platform::LoopbackMidiOut::DeviceId OutputDevice() const { return m_outDevice; }

private:
    platform::LoopbackMidiOut& m_out;
    platform::LoopbackMidiIn& m_in;
    const std::string m_name;
    platform::LoopbackMidiOut::DeviceId m_outDevice{};
    std::unique_ptr<DeviceSimulator> m_sim;
    std::atomic<bool> m_vanished{false};  // set once, by Vanish or the destructor
};

}  // namespace devsim
