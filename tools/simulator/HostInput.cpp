#include "HostInput.h"

void SysExAssembler::Feed(const unsigned char* data, size_t size) {
    if (size == 0) return;
    if (data[0] == 0xF0) {
        Flush();  // a message that never ended: the device sees it as it is
        m_pending.assign(data, data + size);
    } else if (!m_pending.empty()) {
        m_pending.insert(m_pending.end(), data, data + size);
    } else {
        m_device.OnMessageFromHost(data, size);  // stray bytes; counted by the device
        return;
    }
    if (m_pending.back() == 0xF7 || m_pending.size() >= MAX_MESSAGE) Flush();
}

void SysExAssembler::Flush() {
    if (m_pending.empty()) return;
    m_device.OnMessageFromHost(m_pending.data(), m_pending.size());
    m_pending.clear();
}

void InputPump::OnMidiIn(double, std::vector<unsigned char>* message, void* user) {
    if (message == nullptr || user == nullptr) return;
    static_cast<InputPump*>(user)->Push(message->data(), message->size());
}

void InputPump::Push(const unsigned char* data, size_t size) noexcept {
    try {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_queue.size() >= MAX_QUEUED) return;  // shows as a missing message
        m_queue.emplace_back(data, data + size);
    } catch (...) {
        return;  // nothing may escape into the MIDI library's thread
    }
    m_wake.notify_one();
}

void InputPump::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopping = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable()) m_thread.join();
}

void InputPump::Run() {
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        if (m_stopping) return;
        std::vector<unsigned char> message = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        m_assembler.Feed(message.data(), message.size());
        lock.lock();
    }
}
