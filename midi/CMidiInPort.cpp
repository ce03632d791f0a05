#include "CMidiInPort.h"

#include <cstdlib>
#include <cstring>
#include <vector>

using platform::MIDI_OK;

namespace {

void* HeapAllocate(std::size_t size) { return std::malloc(size); }
void HeapRelease(void* block) { std::free(block); }

// Receive buffers that a device may still write into because their release failed when the port
// was destroyed. They are kept (and stay reachable) for the rest of the process.
void KeepForever(platform::MidiHeader* header) {
    static std::mutex lock;
    static std::vector<platform::MidiHeader*> kept;
    std::lock_guard<std::mutex> guard(lock);
    kept.push_back(header);
}

}  // namespace

CMidiInPort::CMidiInPort(platform::IMidiInApi& api)
    : m_api(api), m_allocate(&HeapAllocate), m_release(&HeapRelease) {}

CMidiInPort::~CMidiInPort() {
    Stop();
    // A release that failed earlier gets one more try; if the device still holds the buffer it is
    // not freed.
    if (!ReleaseDevice() && m_pHeader != nullptr) {
        KeepForever(m_pHeader);
        m_pHeader = nullptr;
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

void CMidiInPort::FreeReceiveBuffer() {
    if (m_pHeader == nullptr) return;
    const ReleaseFn release = m_release.load();
    release(m_pHeader->lpData);
    release(m_pHeader);
    m_pHeader = nullptr;
}

bool CMidiInPort::Start() {
    if (m_started == 1) return true;
    // Finish a release that failed before; the port never holds two devices.
    if (!ReleaseDevice()) return false;

    auto* header = static_cast<platform::MidiHeader*>(AllocateZeroed(sizeof(platform::MidiHeader)));
    auto* buffer = static_cast<char*>(AllocateZeroed(RECEIVE_BUFFER_SIZE));
    if (header == nullptr || buffer == nullptr) {
        const ReleaseFn release = m_release.load();
        if (header != nullptr) release(header);
        if (buffer != nullptr) release(buffer);
        return false;
    }
    header->lpData = buffer;
    header->dwBufferLength = RECEIVE_BUFFER_SIZE;
    m_pHeader = header;
    m_deviceGone.store(false);

    if (m_api.Open(&m_hMidiIn, m_deviceIndex, &CMidiInPort::MidiInCallback,
                   reinterpret_cast<std::uintptr_t>(this)) != MIDI_OK) {
        m_hMidiIn = nullptr;
        FreeReceiveBuffer();
        return false;
    }
    bool prepared = false;
    bool queued = false;
    const bool ok = m_api.Reset(m_hMidiIn) == MIDI_OK &&
                    (prepared = m_api.PrepareHeader(m_hMidiIn, m_pHeader) == MIDI_OK) &&
                    (queued = m_api.AddBuffer(m_hMidiIn, m_pHeader) == MIDI_OK) &&
                    m_api.Start(m_hMidiIn) == MIDI_OK;
    if (ok) {
        m_started = 1;
        return true;
    }

    // Undo in the order of Stop. The reset returns the queued buffer empty, so it is not queued
    // again. If an undo step fails, the device may still hold the buffer: it stays allocated and
    // the next Start or the destructor finishes the release.
    const bool released = (!queued || m_api.Reset(m_hMidiIn) == MIDI_OK) &&
                          (!prepared || m_api.UnprepareHeader(m_hMidiIn, m_pHeader) == MIDI_OK);
    if (released) {
        if (CloseDevice() == MIDI_OK) m_hMidiIn = nullptr;
        FreeReceiveBuffer();
    }
    return false;
}

void CMidiInPort::Stop() {
    if (m_started == 0) return;
    ReleaseDevice();
    m_started = 0;
}

// Stops, resets, unprepares and closes the open device, ending at the first step that fails.
// The header and the buffer are freed once the device no longer holds them (the unprepare
// succeeded); the handle is forgotten once it is closed. True when nothing is left.
bool CMidiInPort::ReleaseDevice() {
    if (m_hMidiIn == nullptr) return true;
    bool unprepared = false;
    const bool ok = m_api.Stop(m_hMidiIn) == MIDI_OK && m_api.Reset(m_hMidiIn) == MIDI_OK &&
                    (m_pHeader == nullptr ||
                     (unprepared = m_api.UnprepareHeader(m_hMidiIn, m_pHeader) == MIDI_OK)) &&
                    CloseDevice() == MIDI_OK;
    if (unprepared) FreeReceiveBuffer();
    if (ok) m_hMidiIn = nullptr;
    return ok;
}

platform::MidiResult CMidiInPort::CloseDevice() {
    m_closing.store(true);
    const platform::MidiResult result = m_api.Close(m_hMidiIn);
    m_closing.store(false);
    return result;
}

bool CMidiInPort::PeekReceived(const std::uint8_t** bytes, std::uint32_t* length) {
    const std::uint8_t* b = nullptr;
    std::uint32_t n = 0;
    {
        std::lock_guard<std::mutex> guard(m_listLock);
        if (m_pReceived != nullptr) {
            b = m_pReceived->m_pBytes;
            n = m_pReceived->m_length;
        }
    }
    if (bytes != nullptr) *bytes = b;
    if (length != nullptr) *length = n;
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
    if (m_pLastReceived != nullptr) {
        m_pLastReceived->m_pNext = entry;
    } else {
        m_pReceived = entry;
    }
    m_pLastReceived = entry;
}

std::uint32_t CMidiInPort::GetDeviceCount() { return m_api.GetNumDevs(); }

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

    // Never trust a count beyond the buffer.
    const std::uint32_t count = header->dwBytesRecorded < header->dwBufferLength
                                    ? header->dwBytesRecorded
                                    : header->dwBufferLength;
    const AllocateFn allocate = m_allocate.load();
    auto* bytes = static_cast<std::uint8_t*>(allocate(count));
    auto* entry = static_cast<ReceivedSysEx*>(allocate(sizeof(ReceivedSysEx)));
    if (bytes != nullptr && entry != nullptr) {
        std::memcpy(bytes, header->lpData, count);
        entry->m_pBytes = bytes;
        entry->m_length = count;
        entry->m_pNext = nullptr;
        Append(entry);
    } else {
        // Out of memory: this message is lost, reception goes on.
        const ReleaseFn release = m_release.load();
        if (bytes != nullptr) release(bytes);
        if (entry != nullptr) release(entry);
    }
    m_api.PrepareHeader(m_hMidiIn, header);
    m_api.AddBuffer(m_hMidiIn, header);
}
