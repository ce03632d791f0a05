#include "CMidiInPort.h"

#include <cstdlib>
#include <cstring>
#include <vector>

using platform::MIDI_OK;

namespace {

void* HeapAllocate(std::size_t size) { return std::malloc(size); }
void HeapRelease(void* block) { std::free(block); }

// Receive headers and buffers that a device may still write into because their release failed
// when the port was destroyed. They are kept (and stay reachable) for the rest of the process.
void KeepForever(void* block) {
    static std::mutex lock;
    static std::vector<void*> kept;
    std::lock_guard<std::mutex> guard(lock);
    kept.push_back(block);
}

}  // namespace

CMidiInPort::CMidiInPort(platform::IMidiInApi& api)
    : m_api(api), m_allocate(&HeapAllocate), m_release(&HeapRelease) {}

CMidiInPort::~CMidiInPort() {
    Stop();
    // A release that failed earlier gets one more try; if the device still holds the buffer it is
    // not freed.
    if (!ReleaseDevice() && m_pHeaders != nullptr) {
        KeepForever(m_pHeaders);
        KeepForever(m_pBuffers);
        m_pHeaders = nullptr;
        m_pBuffers = nullptr;
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(m_listLock);
            if (m_pReceived == nullptr) break;
        }
        PopReceived();
    }
}

void CMidiInPort::SetHeap(AllocateFn allocate, ReleaseFn release) {
    m_allocate.store(allocate != nullptr ? allocate : &HeapAllocate);
    m_release.store(release != nullptr ? release : &HeapRelease);
}

void* CMidiInPort::AllocateZeroed(std::size_t size) {
    void* block = m_allocate.load()(size);
    if (block != nullptr) std::memset(block, 0, size);
    return block;
}

void CMidiInPort::FreeReceiveBuffers() {
    if (m_pHeaders == nullptr) return;
    const ReleaseFn release = m_release.load();
    release(m_pBuffers);
    release(m_pHeaders);
    m_pHeaders = nullptr;
    m_pBuffers = nullptr;
}

bool CMidiInPort::Start() {
    if (m_started == 1) return true;
    // Finish a release that failed before; the port never holds two devices.
    if (!ReleaseDevice()) return false;

    auto* headers = static_cast<platform::MidiHeader*>(
        AllocateZeroed(sizeof(platform::MidiHeader) * RECEIVE_BUFFER_COUNT));
    auto* buffers = static_cast<char*>(AllocateZeroed(std::size_t{RECEIVE_BUFFER_SIZE} * RECEIVE_BUFFER_COUNT));
    if (headers == nullptr || buffers == nullptr) {
        const ReleaseFn release = m_release.load();
        if (headers != nullptr) release(headers);
        if (buffers != nullptr) release(buffers);
        return false;
    }
    for (std::uint32_t i = 0; i < RECEIVE_BUFFER_COUNT; ++i) {
        headers[i].lpData = buffers + std::size_t{i} * RECEIVE_BUFFER_SIZE;
        headers[i].dwBufferLength = RECEIVE_BUFFER_SIZE;
    }
    m_pHeaders = headers;
    m_pBuffers = buffers;
    m_deviceGone.store(false);

    if (m_api.Open(&m_hMidiIn, m_deviceIndex, &CMidiInPort::MidiInCallback,
                   reinterpret_cast<std::uintptr_t>(this)) != MIDI_OK) {
        m_hMidiIn = nullptr;
        FreeReceiveBuffers();
        return false;
    }
    // Every buffer is prepared and queued before reception starts, in order: the device fills
    // them in the order in which they were queued.
    std::uint32_t prepared = 0;
    std::uint32_t queued = 0;
    bool ok = m_api.Reset(m_hMidiIn) == MIDI_OK;
    for (std::uint32_t i = 0; ok && i < RECEIVE_BUFFER_COUNT; ++i) {
        ok = m_api.PrepareHeader(m_hMidiIn, &m_pHeaders[i]) == MIDI_OK;
        if (ok) ++prepared;
        ok = ok && m_api.AddBuffer(m_hMidiIn, &m_pHeaders[i]) == MIDI_OK;
        if (ok) ++queued;
    }
    ok = ok && m_api.Start(m_hMidiIn) == MIDI_OK;
    if (ok) {
        m_started = 1;
        return true;
    }

    // Undo in the order of Stop. The reset returns the queued buffers empty, so they are not
    // queued again. If an undo step fails, the device may still hold the buffers: they stay
    // allocated and the next Start or the destructor finishes the release.
    bool released = queued == 0 || m_api.Reset(m_hMidiIn) == MIDI_OK;
    for (std::uint32_t i = 0; released && i < prepared; ++i) {
        released = m_api.UnprepareHeader(m_hMidiIn, &m_pHeaders[i]) == MIDI_OK;
    }
    if (released) {
        if (CloseDevice() == MIDI_OK) m_hMidiIn = nullptr;
        FreeReceiveBuffers();
    }
    return false;
}

void CMidiInPort::Stop() {
    if (m_started == 0) return;
    ReleaseDevice();
    m_started = 0;
}

// Stops, resets, unprepares and closes the open device, ending at the first step that fails.
// The headers and the buffers are freed once the device no longer holds any of them (every
// unprepare succeeded); the handle is forgotten once it is closed. True when nothing is left.
bool CMidiInPort::ReleaseDevice() {
    if (m_hMidiIn == nullptr) return true;
    bool ok = m_api.Stop(m_hMidiIn) == MIDI_OK && m_api.Reset(m_hMidiIn) == MIDI_OK;
    bool unprepared = ok && m_pHeaders != nullptr;
    for (std::uint32_t i = 0; unprepared && i < RECEIVE_BUFFER_COUNT; ++i) {
        unprepared = m_api.UnprepareHeader(m_hMidiIn, &m_pHeaders[i]) == MIDI_OK;
    }
    ok = ok && (m_pHeaders == nullptr || unprepared) && CloseDevice() == MIDI_OK;
    if (unprepared) FreeReceiveBuffers();
    if (ok) m_hMidiIn = nullptr;
    return ok;
}

platform::MidiResult CMidiInPort::CloseDevice() {
    m_closing.store(true);
    const platform::MidiResult result = m_api.Close(m_hMidiIn);
    m_closing.store(false);
    return result;
}

bool CMidiInPort::PeekReceived(const std::uint8_t** bytes, std::uint32_t* length,
                               std::uint64_t* sequence,
                               std::chrono::steady_clock::time_point* receivedAt) {
    const std::uint8_t* b = nullptr;
    std::uint32_t n = 0;
    std::uint64_t number = 0;
    std::chrono::steady_clock::time_point at{};
    {
        std::lock_guard<std::mutex> guard(m_listLock);
        if (m_pReceived != nullptr) {
            b = m_pReceived->m_pBytes;
            n = m_pReceived->m_length;
            number = m_pReceived->m_sequence;
            at = m_pReceived->m_receivedAt;
        }
    }
    if (bytes != nullptr) *bytes = b;
    if (length != nullptr) *length = n;
    if (sequence != nullptr) *sequence = number;
    if (receivedAt != nullptr) *receivedAt = at;
    return b != nullptr;
}

void CMidiInPort::PopReceived() {
    ReceivedSysEx* entry = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_listLock);
        entry = m_pReceived;
        if (entry == nullptr) return;
        m_pReceived = entry->m_pNext;
        if (m_pReceived == nullptr) m_pLastReceived = nullptr;
    }
    const ReleaseFn release = m_release.load();
    release(entry->m_pBytes);
    release(entry);
}

// Runs on the MIDI callback thread. The entry is complete before it is linked in.
void CMidiInPort::Append(ReceivedSysEx* entry) {
    std::lock_guard<std::mutex> guard(m_listLock);
    // Stamped as it is linked in, under the list's lock: a consumer that reads the clock and then
    // empties the list has seen every entry stamped before that reading.
    entry->m_receivedAt = std::chrono::steady_clock::now();
    if (m_pLastReceived != nullptr) {
        m_pLastReceived->m_pNext = entry;
    } else {
        m_pReceived = entry;
    }
    m_pLastReceived = entry;
}

std::uint32_t CMidiInPort::GetDeviceCount() { return m_api.GetNumDevs(); }

platform::MidiDevUnit CMidiInPort::GetDeviceUnit(std::uint32_t index) {
    platform::MidiDevUnit unit;
    if (m_api.GetDevUnit(index, unit) != platform::MIDI_OK) return {};
    return unit;
}

void CMidiInPort::GetDeviceName(std::uint32_t index, char* buffer) {
    if (buffer == nullptr) return;
    platform::MidiDevCaps caps{};
    if (m_api.GetDevCaps(index, caps) != MIDI_OK) {
        buffer[0] = '\0';
        return;
    }
    // The record's name need not be terminated; copy at most MAX_PNAME_LEN - 1 bytes.
    std::size_t n = 0;
    while (n < platform::MAX_PNAME_LEN - 1 && caps.szPname[n] != '\0') ++n;
    std::memcpy(buffer, caps.szPname, n);
    buffer[n] = '\0';
}

void CMidiInPort::MidiInCallback(platform::MidiInHandle, std::uint32_t msg, std::uintptr_t instance,
                                 std::uintptr_t param1, std::uintptr_t param2) {
    auto* port = reinterpret_cast<CMidiInPort*>(instance);
    if (port != nullptr) port->HandleInput(msg, param1, param2);
}

void CMidiInPort::HandleInput(std::uint32_t msg, std::uintptr_t param1, std::uintptr_t) {
    if (msg == platform::MIDI_IN_CLOSE) {
        // Only a flag: the notice may come on a thread that must not do more.
        if (!m_closing.load()) m_deviceGone.store(true);
        return;
    }
    if (msg != platform::MIDI_IN_LONGDATA) return;  // short messages and other notices are not wanted
    auto* header = reinterpret_cast<platform::MidiHeader*>(param1);
    if (header == nullptr) return;
    // An empty buffer (the one a reset returns) is not queued again.
    if ((header->dwFlags & platform::MIDI_HDR_DONE) == 0 || header->dwBytesRecorded == 0) return;

    // Numbered the moment the device hands the message over, before anything else: a reader of
    // ReceivedSequence() who sends afterwards finds every answer to that send numbered above it.
    const std::uint64_t sequence = m_receivedSequence.fetch_add(1) + 1;
    // Never trust a count beyond the buffer.
    const std::uint32_t count = header->dwBytesRecorded < header->dwBufferLength
                                    ? header->dwBytesRecorded
                                    : header->dwBufferLength;
    const AllocateFn allocate = m_allocate.load();
    auto* bytes = static_cast<std::uint8_t*>(allocate(count));
    auto* entry = static_cast<ReceivedSysEx*>(allocate(sizeof(ReceivedSysEx)));
    const bool copied = bytes != nullptr && entry != nullptr;
    if (copied) std::memcpy(bytes, header->lpData, count);
    // The buffer goes back to the device as soon as its bytes are out, before the entry is linked
    // in: the device is short of a buffer for no longer than needed.
    m_api.PrepareHeader(m_hMidiIn, header);
    m_api.AddBuffer(m_hMidiIn, header);
    if (copied) {
        entry->m_pBytes = bytes;
        entry->m_length = count;
        entry->m_sequence = sequence;
        entry->m_pNext = nullptr;
        Append(entry);
    } else {
        // Out of memory: this message is lost, reception goes on.
        const ReleaseFn release = m_release.load();
        if (bytes != nullptr) release(bytes);
        if (entry != nullptr) release(entry);
    }
}
