#include "DevsimRun.h"
#include "DevsimTransports.h"

void DeviceOutput::Attach(Send send, std::string refusal) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_send = std::move(send);
    m_refusal = std::move(refusal);
}

void DeviceOutput::Detach() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_send = nullptr;
}

devsim::DeviceSimulator::SendFunction DeviceOutput::Function() {
    return [this](const std::vector<uint8_t>& bytes) {
        // Held while sending: Detach waits for a send under way, so none reaches a closing port.
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_send && !m_send(bytes)) Print(m_refusal);
    };
}
