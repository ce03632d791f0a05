// A main window wired to in-process MIDI devices and a simulated device, for the window tests.
//
// The engine runs on the loopback MIDI input and output and the real timer service with a short
// poll period; a DeviceSimulator answers on the loopback devices named "USB Audio Device", which
// the window selects by default. Message boxes are recorded and dismissed at once unless the test
// asks for the real box.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "CVelmoUpdatorDlg.h"
#include "DeviceSimulator.h"
#include "SimulatedMidiSystem.h"
#include "UpdateEngine.h"
#include "platform/loopback/LoopbackMidiIn.h"
#include "platform/loopback/LoopbackMidiOut.h"
#include "platform/PosixTimerService.h"
#include "StringTable.h"

namespace apptest {

inline constexpr const char* DEVICE = "USB Audio Device";

struct RigOptions {
    std::vector<std::string> outDevices{DEVICE};
    std::vector<std::string> inDevices{DEVICE};
    int instanceNumber = 1;
    bool withSimulator = true;
    devsim::DeviceSimulatorConfig device = windowtest::RigOptions::DefaultDevice();
    EngineTimings timings{30000, 10, 5};
    std::function<const char*(int)> loadString;  // empty: the program's table
    bool realMessageBoxes = false;
};

class WindowRig {
public:
    explicit WindowRig(RigOptions options = {}) : m_options(std::move(options)) {
        for (const auto& name : m_options.outDevices) {
            const auto id = m_out.AddDevice(name);
            m_outIds.emplace_back(name, id);
            if (name == DEVICE && m_options.withSimulator) {
                m_out.SetListener(id, [this](const std::uint8_t* bytes, std::size_t length) {
                    std::lock_guard<std::mutex> lock(m_simLock);
                    if (m_sim) m_sim->OnMessageFromHost(bytes, length);
                });
            }
        }
        for (const auto& name : m_options.inDevices) m_in.AddDevice(name);
        if (m_options.withSimulator) {
            m_sim = std::make_unique<devsim::DeviceSimulator>(
                m_options.device,
                [this](const std::vector<std::uint8_t>& bytes) { m_in.Deliver(DEVICE, bytes); });
        }

        UpdatorDialogServices services;
        const int instance = m_options.instanceNumber;
        services.instanceNumber = [instance] { return instance; };
        if (m_options.loadString) services.loadString = m_options.loadString;
        if (!m_options.realMessageBoxes) {
            services.messageBox = [this](QWidget* owner, const QString& caption, const QString& text) {
                std::lock_guard<std::mutex> lock(m_boxLock);
                m_boxes.push_back(text.toStdString());
                m_boxOwnersOk = m_boxOwnersOk && owner == m_dialog.get();
                m_boxCaptions.push_back(caption.toStdString());
            };
        }
        const EnginePlatform platform{&m_out, &m_in, &m_timer};
        const EngineTimings timings = m_options.timings;
        services.createEngine = [platform, timings](std::shared_ptr<IUpdateHost> host) {
            return std::make_shared<CUpdateEngine>(std::move(host), platform, timings);
        };
        // The records of the tests' runs stay out of the history of whoever runs them.
        services.recordRun = [](const UpdateRecord&) {};
        m_dialog = std::make_unique<CVelmoUpdatorDlg>(services);
        m_dialog->show();
        m_dialog->activateWindow();
        // The user meets an active window with the focus on "Execute".
        EXPECT_TRUE(PumpUntil([&] { return m_dialog->isActiveWindow(); }, std::chrono::seconds(5)));
    }

    ~WindowRig() {
        m_dialog.reset();
        // A run whose window went away ends at its next wait; it must be gone before the devices.
        EXPECT_TRUE(CUpdateEngine::WaitForWorkers(std::chrono::seconds(10)));
        std::lock_guard<std::mutex> lock(m_simLock);
        m_sim.reset();
    }

    CVelmoUpdatorDlg& Dialog() { return *m_dialog; }
    devsim::DeviceSimulator& Device() { return *m_sim; }
    platform::LoopbackMidiOut& Out() { return m_out; }
    platform::LoopbackMidiIn& In() { return m_in; }
    // The loopback output device that was added under `name` (the first of that name).
    platform::LoopbackMidiOut::DeviceId OutDevice(const std::string& name) const {
        for (const auto& [n, id] : m_outIds) {
            if (n == name) return id;
        }
        return {};
    }
    // Closes and releases the window now (as the end of the modal run does).
    void DestroyWindow() { m_dialog.reset(); }
    bool HasWindow() const { return m_dialog != nullptr; }

    std::vector<std::string> Boxes() {
        std::lock_guard<std::mutex> lock(m_boxLock);
        return m_boxes;
    }
    std::vector<std::string> BoxCaptions() {
        std::lock_guard<std::mutex> lock(m_boxLock);
        return m_boxCaptions;
    }
    bool BoxesOwnedByWindow() {
        std::lock_guard<std::mutex> lock(m_boxLock);
        return m_boxOwnersOk;
    }

    // The four controls that an update run locks, in the order lists, "Execute", "Rescan".
    std::vector<bool> Enabled() {
        auto& d = *m_dialog;
        return {d.m_midiInCombo->isEnabled(), d.m_midiOutCombo->isEnabled(),
                d.m_executeButton->isEnabled(), d.m_rescanButton->isEnabled()};
    }
    int Running() { return m_dialog->Engine()->IsUpdateRunning() ? 1 : 0; }
    std::string Status() { return m_dialog->m_statusEdit->text().toStdString(); }
    int Progress() { return m_dialog->m_progress->value(); }

    // Waits (serving the UI) until the window is Ready or Completed again after a run.
    bool WaitForRunEnd(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        return PumpUntil([&] { return Running() == 0 && m_dialog->m_rescanButton->isEnabled(); },
                         timeout);
    }

    // Waits until a run has completed: the controls are back and "Execute" has been disabled again
    // (the run gives the controls back first and disables "Execute" after).
    bool WaitForCompletion(std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        return PumpUntil([&] {
            return Running() == 0 && m_dialog->m_rescanButton->isEnabled() &&
                   !m_dialog->m_executeButton->isEnabled();
        }, timeout);
    }

private:
    RigOptions m_options;
    platform::LoopbackMidiOut m_out;
    std::vector<std::pair<std::string, platform::LoopbackMidiOut::DeviceId>> m_outIds;
    platform::LoopbackMidiIn m_in;
    platform::PosixTimerService m_timer;
    std::mutex m_simLock;
    std::unique_ptr<devsim::DeviceSimulator> m_sim;
    std::mutex m_boxLock;
    std::vector<std::string> m_boxes;
    std::vector<std::string> m_boxCaptions;
    bool m_boxOwnersOk = true;
    std::unique_ptr<CVelmoUpdatorDlg> m_dialog;
};

}  // namespace apptest
