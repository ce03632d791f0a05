#include "RawMidiLink.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#if defined(__linux__)
#include <sound/asound.h>
#endif

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
            if (m_pending.size() >= MAX_MESSAGE) Flush();
        }
    }
    if (!m_inSysEx) Flush();
}

void RawSysExSplitter::Flush() {
    if (!m_pending.empty()) m_sink(m_pending.data(), m_pending.size());
    m_pending.clear();
    m_inSysEx = false;
}

bool RawMidiLink::Open(const std::string& path, unsigned bytesPerSecond,
                       std::function<void(const uint8_t*, size_t)> onBytes, std::string* error) {
    m_fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        if (error != nullptr) *error = "can't open " + path + ": " + std::strerror(errno);
        return false;
    }
    m_onBytes = std::move(onBytes);
    m_stop = false;
    m_reader = std::thread([this, bytesPerSecond] { Run(bytesPerSecond); });
    return true;
}

void RawMidiLink::Run(unsigned bytesPerSecond) {
    using Clock = std::chrono::steady_clock;
    // The cable carries one byte per byte time while the driver holds bytes for it. The schedule
    // is kept over the whole message (a reader thread that ran late catches up, as a UART never
    // runs late), and an empty buffer earns no credit, so that a pause is not followed by a burst
    // faster than the cable.
    const auto byteTime = bytesPerSecond > 0 ? std::chrono::nanoseconds(1000000000LL / bytesPerSecond)
                                             : std::chrono::nanoseconds(0);
    const auto idleCredit = byteTime * 2;
    auto earned = Clock::now();  // the cable has carried every byte due up to this time
    bool idle = true;
    uint8_t buffer[256];
    while (!m_stop.load()) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0 || (p.revents & POLLIN) == 0) {
            idle = true;
            continue;
        }
        size_t allowed = sizeof buffer;
        if (bytesPerSecond > 0) {
            const auto now = Clock::now();
            if (idle && now - earned > idleCredit) earned = now - idleCredit;
            idle = false;
            allowed = std::min<size_t>(sizeof buffer, static_cast<size_t>((now - earned) / byteTime));
            if (allowed == 0) {
                std::this_thread::sleep_for(byteTime * 4);
                continue;
            }
        }
        const ssize_t n = ::read(m_fd, buffer, allowed);
        if (n <= 0) continue;
        earned += byteTime * n;
        m_bytesRead.fetch_add(static_cast<uint64_t>(n));
        m_onBytes(buffer, static_cast<size_t>(n));
    }
}

bool RawMidiLink::Write(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(m_writeLock);
    if (m_fd < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        pollfd p{m_fd, POLLOUT, 0};
        ::poll(&p, 1, 10);
    }
    return true;
}

long RawMidiLink::Overruns() {
#if defined(__linux__) && defined(SNDRV_RAWMIDI_IOCTL_STATUS)
    if (m_fd < 0) return m_overruns;
    snd_rawmidi_status status{};
    status.stream = SNDRV_RAWMIDI_STREAM_INPUT;
    if (::ioctl(m_fd, SNDRV_RAWMIDI_IOCTL_STATUS, &status) < 0) return -1;
    m_overruns += static_cast<long>(status.xruns);
    return m_overruns;
#else
    return -1;
#endif
}

void RawMidiLink::Close() {
    m_stop = true;
    if (m_reader.joinable()) m_reader.join();
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

}  // namespace devsim
