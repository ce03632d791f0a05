#include "RawMidiLink.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace devsim {

void RawSysExSplitter::Feed(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        const uint8_t b = data[i];
        if (b >= 0xF8) continue;  // real-time bytes may come anywhere
        if (b == 0xF0) {
            Flush();
            m_inSysEx = true;
            m_pending.push_back(b);
        } else if (b == 0xF7 && m_inSysEx) {
            m_pending.push_back(b);
            Flush();
        } else if (b >= 0x80 && m_inSysEx) {
            Flush();  // another status byte cuts the message short
            m_pending.push_back(b);
        } else {
            m_pending.push_back(b);
            if (m_inSysEx && m_framedLength == 0 && m_framer && m_pending.size() <= FRAMED_HEADER_MAX)
                m_framedLength = m_framer(m_pending.data(), m_pending.size());
            if (m_pending.size() >= MAX_MESSAGE || (m_framedLength != 0 && m_pending.size() >= m_framedLength))
                Flush();
        }
    }
    if (!m_inSysEx) Flush();
}

void RawSysExSplitter::Flush() {
    if (!m_pending.empty()) m_sink(m_pending.data(), m_pending.size());
    m_pending.clear();
    m_inSysEx = false;
    m_framedLength = 0;
}

long long RawMidiLink::Tally::Lost() const {
    long long lost = std::max<long long>(driver.dropped, 0);
    if (driver.received >= 0) {
        const long long unread = driver.received - static_cast<long long>(read + leftOver);
        lost = std::max(lost, unread);
    }
    return lost;
}

std::string RawMidiLink::Tally::Describe() const {
    const auto number = [](long long n) { return n < 0 ? std::string("unknown") : std::to_string(n); };
    std::string text = number(driver.received) + " bytes received by the driver, " + number(driver.dropped) +
                       " dropped by it, " + std::to_string(read) + " read";
    if (leftOver > 0) text += " (and " + std::to_string(leftOver) + " left unread at the end)";
    return text;
}

bool RawMidiLink::Open(std::unique_ptr<RawMidiPort> port, unsigned bytesPerSecond,
                       std::function<void(const uint8_t*, size_t)> onBytes) {
    if (port == nullptr || m_port != nullptr) return false;
    m_port = std::move(port);
    m_onBytes = std::move(onBytes);
    m_stop = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_closed = false;
        m_final = Tally{};
    }
    m_reader = std::thread([this, bytesPerSecond] { Run(bytesPerSecond); });
    return true;
}

void RawMidiLink::Run(unsigned bytesPerSecond) {
    using Clock = std::chrono::steady_clock;
    // The cable carries one byte per byte time while the driver holds bytes for it. The schedule
    // is kept over the whole message (a reader thread that ran late catches up, as a UART never
    // runs late), and an empty buffer earns no credit, so that a pause is not followed by a burst
    // faster than the cable. Without a rate, whatever waits is taken at once.
    const auto byteTime = bytesPerSecond > 0 ? std::chrono::nanoseconds(1000000000LL / bytesPerSecond)
                                             : std::chrono::nanoseconds(0);
    const auto idleCredit = byteTime * 2;
    auto earned = Clock::now();  // the cable has carried every byte due up to this time
    bool idle = true;
    uint8_t buffer[4096];
    while (!m_stop.load()) {
        pollfd p{m_port->InputFd(), POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0 || (p.revents & (POLLIN | POLLERR | POLLHUP)) == 0) {
            idle = true;
            continue;
        }
        size_t allowed = sizeof buffer;
        if (bytesPerSecond > 0) {
            const auto now = Clock::now();
            if (idle && now - earned > idleCredit) earned = now - idleCredit;
            idle = false;
            allowed = std::min<size_t>(256, static_cast<size_t>((now - earned) / byteTime));
            if (allowed == 0) {
                std::this_thread::sleep_for(byteTime * 4);
                continue;
            }
        }
        const ssize_t n = m_port->Read(buffer, allowed);
        if (n < 0) {
            // The device has gone (a USB device unplugged): nothing more will come.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        if (n == 0) continue;
        earned += byteTime * n;
        m_bytesRead.fetch_add(static_cast<uint64_t>(n));
        m_onBytes(buffer, static_cast<size_t>(n));
    }
}

bool RawMidiLink::Write(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_port == nullptr || m_closed) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = m_port->Write(bytes.data() + done, bytes.size() - done);
        if (n < 0) return false;
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        pollfd p{m_port->OutputFd(), POLLOUT, 0};
        ::poll(&p, 1, 10);
    }
    return true;
}

RawMidiLink::Tally RawMidiLink::Counts() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_closed || m_port == nullptr) return m_final;
    Tally now;
    now.read = m_bytesRead.load();
    now.driver = m_port->Counts();
    return now;
}

void RawMidiLink::Close() {
    m_stop = true;
    if (m_reader.joinable()) m_reader.join();
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_port == nullptr) return;
    // What still waits arrived whole; it is counted, not handed on (the device has had its update).
    // The driver's counts are taken after it, so that the two agree.
    uint64_t leftOver = 0;
    uint8_t buffer[4096];
    for (ssize_t n; (n = m_port->Read(buffer, sizeof buffer)) > 0;) leftOver += static_cast<uint64_t>(n);
    m_final.read = m_bytesRead.load();
    m_final.leftOver = leftOver;
    m_final.driver = m_port->Counts();
    m_closed = true;
    m_port.reset();
}

}  // namespace devsim
