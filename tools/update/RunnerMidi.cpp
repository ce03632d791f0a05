#include "RunnerMidi.h"

#include <chrono>

#include "FirmwareImage.h"

RunnerMidi::RunnerMidi(bool loopback, const std::string& deviceName) {
    if (!loopback) return;
    devsim::DeviceSimulatorConfig config;
    config.answerDelayMin = std::chrono::milliseconds(0);
    config.answerDelayMax = std::chrono::milliseconds(0);
    config.expectedImage.assign(LoadFirmwareImage(), LoadFirmwareImage() + IMAGE_SIZE);
    m_link = std::make_unique<devsim::LoopbackLink>(m_loopOut, m_loopIn, deviceName, config);
    m_platform.midiOut = &m_loopOut;
    m_platform.midiIn = &m_loopIn;
}
