#include "SysExReceiveQueue.h"

#include <algorithm>
#include <cstring>

namespace platform {
namespace {

// Data bytes that follow a status byte; -1 for bytes that do not start a short message.
int DataBytesFor(std::uint8_t status) {
    if (status >= 0x80 && status <= 0xBF) return 2;
    if (status >= 0xC0 && status <= 0xDF) return 1;
    if (status >= 0xE0 && status <= 0xEF) return 2;
    switch (status) {
        case 0xF1: return 1;
        case 0xF2: return 2;
        case 0xF3: return 1;
        case 0xF4:
        case 0xF5:
        case 0xF6: return 0;
        default: return -1;
    }
}

}  // namespace

SysExReceiveQueue::SysExReceiveQueue(MidiInProc callback, MidiInHandle handle,
                                     std::uintptr_t instance)
    : m_callback(callback), m_handle(handle), m_instance(instance) {
    m_inFlight.reserve(4);  // no allocation on the MIDI thread in the usual case
}

MidiResult SysExReceiveQueue::PrepareHeader(MidiHeader* header) {
    if (header == nullptr || header->lpData == nullptr) return MIDI_ERR_GENERIC;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed) return MIDI_ERR_INVALHANDLE;
    if ((header->dwFlags & MIDI_HDR_PREPARED) == 0) {
        header->dwFlags |= MIDI_HDR_PREPARED;
        ++m_prepared;
    }
    return MIDI_OK;
}

MidiResult SysExReceiveQueue::UnprepareHeader(MidiHeader* header) {
    if (header == nullptr) return MIDI_ERR_GENERIC;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed) return MIDI_ERR_INVALHANDLE;
    if ((header->dwFlags & MIDI_HDR_INQUEUE) != 0) return MIDI_ERR_STILLPLAYING;
    if ((header->dwFlags & MIDI_HDR_PREPARED) != 0) {
        header->dwFlags &= ~MIDI_HDR_PREPARED;
        --m_prepared;
    }
    return MIDI_OK;
}

MidiResult SysExReceiveQueue::AddBuffer(MidiHeader* header) {
    if (header == nullptr || header->lpData == nullptr || header->dwBufferLength == 0) {
        return MIDI_ERR_GENERIC;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed) return MIDI_ERR_INVALHANDLE;
    if ((header->dwFlags & MIDI_HDR_PREPARED) == 0) return MIDI_ERR_UNPREPARED;
    if ((header->dwFlags & MIDI_HDR_INQUEUE) != 0) return MIDI_ERR_STILLPLAYING;
    header->dwFlags = (header->dwFlags & ~MIDI_HDR_DONE) | MIDI_HDR_INQUEUE;
    header->dwBytesRecorded = 0;
    m_queue.push_back(header);
    return MIDI_OK;
}

MidiResult SysExReceiveQueue::Start() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed) return MIDI_ERR_INVALHANDLE;
    if (!m_running) {
        ResetParser();
        m_running = true;
    }
    return MIDI_OK;
}

MidiResult SysExReceiveQueue::Stop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_closed) return MIDI_ERR_INVALHANDLE;
    m_running = false;
    const bool partial = m_inSysEx && !m_queue.empty() && m_queue.front()->dwBytesRecorded > 0;
    ResetParser();
    if (partial) Notify(lock, CompleteFront());
    return MIDI_OK;
}

MidiResult SysExReceiveQueue::Reset() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_closed) return MIDI_ERR_INVALHANDLE;
    m_running = false;
    ResetParser();
    // A callback in flight may still queue its buffer again; that one is returned too.
    WaitUntilNoCallbackInFlight(lock);
    while (!m_queue.empty()) Notify(lock, CompleteFront());
    return MIDI_OK;
}

MidiResult SysExReceiveQueue::Close() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_closed) return MIDI_ERR_INVALHANDLE;
    if (!m_queue.empty()) return MIDI_ERR_STILLPLAYING;
    m_closed = true;
    m_running = false;
    ResetParser();
    WaitUntilNoCallbackInFlight(lock);
    return MIDI_OK;
}

void SysExReceiveQueue::DeviceGone() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_closed || m_goneTold) return;
    m_goneTold = true;
    Notify(lock, Notification{MIDI_IN_CLOSE, 0});
}

std::size_t SysExReceiveQueue::QueuedCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queue.size();
}

std::size_t SysExReceiveQueue::PreparedCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_prepared;
}

void SysExReceiveQueue::Receive(const std::uint8_t* bytes, std::size_t count) {
    if (bytes == nullptr || count == 0) return;
    std::lock_guard<std::mutex> feed(m_feedMutex);
    std::unique_lock<std::mutex> lock(m_mutex);
    std::size_t i = 0;
    while (i < count) {
        // Checked again after every callback: Stop, Reset or Close may have come meanwhile.
        if (!m_running || m_closed) return;
        Notification n;
        if (m_inSysEx && bytes[i] < 0x80) {
            i += StoreRun(bytes + i, count - i, n);
        } else {
            n = Step(bytes[i]);
            ++i;
        }
        if (n.msg != 0) Notify(lock, n);
    }
}

void SysExReceiveQueue::Lost(std::uint32_t events) {
    if (events == 0) return;
    std::lock_guard<std::mutex> feed(m_feedMutex);
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_running || m_closed) return;
    if (m_inSysEx) DiscardPartial();
    ResetParser();
    Notification n;
    n.msg = MIDI_IN_ERROR;
    n.param2 = events;
    Notify(lock, n);
}

// Writes the run of data bytes at `bytes` into the front buffer (or drops it when none is
// queued), up to the end of the run or of the buffer; returns how many bytes it took.
std::size_t SysExReceiveQueue::StoreRun(const std::uint8_t* bytes, std::size_t count,
                                        Notification& out) {
    std::size_t run = 0;
    while (run < count && bytes[run] < 0x80) ++run;
    if (m_queue.empty()) return run;
    MidiHeader* h = m_queue.front();
    const std::size_t room = h->dwBufferLength - h->dwBytesRecorded;
    const std::size_t take = std::min(run, room);
    std::memcpy(h->lpData + h->dwBytesRecorded, bytes, take);
    h->dwBytesRecorded += static_cast<std::uint32_t>(take);
    if (h->dwBytesRecorded == h->dwBufferLength) out = CompleteFront();
    return take;
}

SysExReceiveQueue::Notification SysExReceiveQueue::Step(std::uint8_t byte) {
    Notification n;
    if (byte >= 0xF8) {  // real time: never part of anything else
        n.msg = MIDI_IN_DATA;
        n.param1 = byte;
        return n;
    }
    if (byte == 0xF0 || byte == 0xF7) {
        if (byte == 0xF7 && !m_inSysEx) return n;  // stray end byte
        if (byte == 0xF0) {
            if (m_inSysEx) DiscardPartial();
            m_inSysEx = true;
            m_status = 0;
            m_dataHave = m_dataNeed = 0;
        } else {
            m_inSysEx = false;
        }
        if (m_queue.empty()) return n;
        MidiHeader* h = m_queue.front();
        h->lpData[h->dwBytesRecorded++] = static_cast<char>(byte);
        if (byte == 0xF7 || h->dwBytesRecorded == h->dwBufferLength) n = CompleteFront();
        return n;
    }
    if (byte >= 0x80) {  // status of a short message
        if (m_inSysEx) {
            DiscardPartial();
            m_inSysEx = false;
        }
        m_status = byte;
        m_dataHave = 0;
        m_dataNeed = DataBytesFor(byte);
        if (m_dataNeed > 0) return n;
        n.msg = MIDI_IN_DATA;
        n.param1 = byte;
        m_status = 0;  // system common: no running status
        return n;
    }
    // Data byte outside a SysEx: part of the short message being assembled, if any.
    if (m_status == 0) return n;
    m_data[m_dataHave++] = byte;
    if (m_dataHave < m_dataNeed) return n;
    n.msg = MIDI_IN_DATA;
    n.param1 = static_cast<std::uintptr_t>(m_status) | (static_cast<std::uintptr_t>(m_data[0]) << 8) |
               (m_dataNeed > 1 ? static_cast<std::uintptr_t>(m_data[1]) << 16 : 0);
    m_dataHave = 0;
    if (m_status >= 0xF0) m_status = 0;  // running status only for channel messages
    return n;
}

// Takes the front buffer off the queue, marked done with what it holds.
SysExReceiveQueue::Notification SysExReceiveQueue::CompleteFront() {
    MidiHeader* h = m_queue.front();
    m_queue.pop_front();
    h->dwFlags = (h->dwFlags & ~MIDI_HDR_INQUEUE) | MIDI_HDR_DONE;
    Notification n;
    n.msg = MIDI_IN_LONGDATA;
    n.param1 = reinterpret_cast<std::uintptr_t>(h);
    return n;
}

// The SysEx in progress was interrupted: forget what the front buffer holds of it.
void SysExReceiveQueue::DiscardPartial() {
    if (!m_queue.empty()) m_queue.front()->dwBytesRecorded = 0;
}

void SysExReceiveQueue::ResetParser() {
    m_inSysEx = false;
    m_status = 0;
    m_dataHave = m_dataNeed = 0;
}

void SysExReceiveQueue::Notify(std::unique_lock<std::mutex>& lock, const Notification& n) {
    const auto self = std::this_thread::get_id();
    m_inFlight.push_back(self);
    lock.unlock();
    m_callback(m_handle, n.msg, m_instance, n.param1, n.param2);
    lock.lock();
    m_inFlight.erase(std::find(m_inFlight.begin(), m_inFlight.end(), self));
    m_idle.notify_all();
}

void SysExReceiveQueue::WaitUntilNoCallbackInFlight(std::unique_lock<std::mutex>& lock) {
    // A call from inside the callback does not wait for itself.
    const auto self = std::this_thread::get_id();
    m_idle.wait(lock, [this, self] {
        return std::all_of(m_inFlight.begin(), m_inFlight.end(),
                           [self](std::thread::id id) { return id == self; });
    });
}

MidiResult QueuedMidiInApi::Reset(MidiInHandle handle) {
    const auto queue = QueueOf(handle);
    return queue ? queue->Reset() : MIDI_ERR_INVALHANDLE;
}

MidiResult QueuedMidiInApi::PrepareHeader(MidiInHandle handle, MidiHeader* header) {
    const auto queue = QueueOf(handle);
    return queue ? queue->PrepareHeader(header) : MIDI_ERR_INVALHANDLE;
}

MidiResult QueuedMidiInApi::AddBuffer(MidiInHandle handle, MidiHeader* header) {
    const auto queue = QueueOf(handle);
    return queue ? queue->AddBuffer(header) : MIDI_ERR_INVALHANDLE;
}

MidiResult QueuedMidiInApi::Start(MidiInHandle handle) {
    const auto queue = QueueOf(handle);
    return queue ? queue->Start() : MIDI_ERR_INVALHANDLE;
}

MidiResult QueuedMidiInApi::Stop(MidiInHandle handle) {
    const auto queue = QueueOf(handle);
    return queue ? queue->Stop() : MIDI_ERR_INVALHANDLE;
}

MidiResult QueuedMidiInApi::UnprepareHeader(MidiInHandle handle, MidiHeader* header) {
    const auto queue = QueueOf(handle);
    return queue ? queue->UnprepareHeader(header) : MIDI_ERR_INVALHANDLE;
}

}  // namespace platform
