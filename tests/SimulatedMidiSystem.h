// What a window under test runs on: in-process MIDI devices, a simulated device behind the pair
// named "USB Audio Device", and a real timer thread with a short poll period. Shared by the tests
// of the controller and of the native window.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "DeviceSimulator.h"
#include "FirmwareImage.h"
#include "LoopbackLink.h"
#include "UpdateEngine.h"
#include "platform/loopback/LoopbackMidiIn.h"
#include "platform/loopback/LoopbackMidiOut.h"
#include "platform/PosixTimerService.h"

namespace windowtest {

inline constexpr const char* DEVICE = "USB Audio Device";

struct RigOptions {
    std::vector<std::string> outDevicesBefore;  // added ahead of the simulated device
    std::vector<std::string> inDevicesBefore;
    bool withDevice = true;
    int instanceNumber = 1;
    devsim::DeviceSimulatorConfig device = DefaultDevice();
    // The unit that the listing tells for the simulated device's MIDI OUT (none: a software device).
    platform::MidiDevUnit deviceUnit;
    EngineTimings timings{30000, 10, 5};

    // A device that answers at once and checks the image it receives.
    static devsim::DeviceSimulatorConfig DefaultDevice() {
        devsim::DeviceSimulatorConfig config;
        config.answerDelayMin = std::chrono::milliseconds(0);
        config.answerDelayMax = std::chrono::milliseconds(1);
        const std::uint8_t* image = LoadFirmwareImage();
        config.expectedImage.assign(image, image + IMAGE_SIZE);
        return config;
    }
};

class SimulatedMidiSystem {
public:
    explicit SimulatedMidiSystem(const RigOptions& options) {
        for (const auto& name : options.outDevicesBefore) m_out.AddDevice(name);
        for (const auto& name : options.inDevicesBefore) m_in.AddDevice(name);
        if (options.withDevice) {
            m_link = std::make_unique<devsim::LoopbackLink>(m_out, m_in, DEVICE, options.device);
            // The link adds the device's output last.
            m_out.SetUnit(m_out.DeviceAt(m_out.GetNumDevs() - 1), options.deviceUnit);
        }
    }
    SimulatedMidiSystem(const SimulatedMidiSystem&) = delete;
    SimulatedMidiSystem& operator=(const SimulatedMidiSystem&) = delete;

    // The window's engine factory: an engine on these devices and this timer.
    std::function<std::shared_ptr<CUpdateEngine>(std::shared_ptr<IUpdateHost>)> EngineFactory(
        EngineTimings timings) {
        const EnginePlatform platform{&m_out, &m_in, &m_timer};
        return [platform, timings](std::shared_ptr<IUpdateHost> host) {
            return std::make_shared<CUpdateEngine>(std::move(host), platform, timings);
        };
    }
    // The simulated device and its two ports go away. No run may use them any more.
    void RemoveDevice() { m_link.reset(); }
    // The device is unplugged while a run may use it: its ports leave the lists, the run hears it.
    void UnplugDevice() {
        if (m_link) m_link->Vanish();
    }

    devsim::DeviceSimulator& Device() { return m_link->Simulator(); }
    platform::LoopbackMidiOut& Out() { return m_out; }
    platform::LoopbackMidiIn& In() { return m_in; }

private:
    platform::LoopbackMidiOut m_out;
    platform::LoopbackMidiIn m_in;
    platform::PosixTimerService m_timer;
    std::unique_ptr<devsim::LoopbackLink> m_link;
};

}  // namespace windowtest
