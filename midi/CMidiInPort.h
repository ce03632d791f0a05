// One MIDI input device of the system. While started, every SysEx buffer that the device returns
// is copied into a first-in-first-out list that the dispatcher drains.
//
// Threads: Start, Stop, GetDeviceCount, GetDeviceName, GetDeviceUnit and the destructor run on the
// UI thread; MidiInCallback/HandleInput on the MIDI system's callback thread (the only producer of
// the list); PeekReceived/PopReceived on the dispatcher's thread (the only consumer).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/MidiApi.h"

constexpr std::uint32_t RECEIVE_BUFFER_SIZE = 8192;
// Receive buffers queued with the device while the port is started. The device writes each SysEx
// message (or each RECEIVE_BUFFER_SIZE bytes of a longer one) into the oldest queued buffer and
// returns it through the callback; bytes that arrive while no buffer is queued are lost. The
// callback queues each buffer again at once, but it may run late: Wine's driver, for one, reports
// from a thread of its own and goes on filling buffers until 64 reports wait for that thread, and
// a single buffer then loses whatever follows a long message or comes in a burst. With more
// buffers than reports that can wait, one is always queued.
constexpr std::uint32_t RECEIVE_BUFFER_COUNT = 80;

// One received SysEx buffer: a heap copy of the recorded bytes, owned by the entry.
struct ReceivedSysEx {
    std::uint8_t* m_pBytes;
    std::uint32_t m_length;    // never 0
    std::uint64_t m_sequence;  // its number in the port's count of received buffers (1 for the first)
    // When it joined the list (the steady clock, read on the callback thread under the list's lock
    // as the entry is linked in): never earlier than the moment its last byte reached the program,
    // and a reader that reads the clock and then empties the list has had every entry stamped
    // before that reading.
    std::chrono::steady_clock::time_point m_receivedAt;
    ReceivedSysEx* m_pNext;    // next younger entry
};

class CMidiInPort {
public:
    explicit CMidiInPort(platform::IMidiInApi& api = platform::DefaultMidiInApi());
    ~CMidiInPort();  // Stop, then pop every entry that is left
    CMidiInPort(const CMidiInPort&) = delete;
    CMidiInPort& operator=(const CMidiInPort&) = delete;

    // Opens device m_deviceIndex, queues the RECEIVE_BUFFER_COUNT buffers and starts reception;
    // true at once when already started. First finishes a release that failed in an earlier Stop,
    // and fails if it still cannot.
    bool Start();
    // Ends reception and releases the device, the headers and the buffers; the received list
    // stays. If a release step fails, the headers and the buffers are kept while the device may
    // still write into them, and the next Start or the destructor tries the release again.
    void Stop();

    // Oldest entry without removing it; false (and null/0) when the list is empty. The bytes stay
    // valid until that entry is popped. `sequence` and `receivedAt` (when given) receive the
    // entry's number and the moment it came.
    bool PeekReceived(const std::uint8_t** bytes, std::uint32_t* length,
                      std::uint64_t* sequence = nullptr,
                      std::chrono::steady_clock::time_point* receivedAt = nullptr);
    // Removes and frees the oldest entry; nothing happens on an empty list.
    void PopReceived();

    std::uint32_t GetDeviceCount();
    // Copies the product name of input device `index` into `buffer` (at least
    // platform::MAX_PNAME_LEN bytes); a device whose record can't be read gets an empty name.
    void GetDeviceName(std::uint32_t index, char* buffer);
    // The unit of input device `index` as its name was last shown; empty where the system does not
    // say.
    platform::MidiDevUnit GetDeviceUnit(std::uint32_t index);

    // Runs on the MIDI system's callback thread; `instance` is the port.
    static void MidiInCallback(platform::MidiInHandle handle, std::uint32_t msg,
                               std::uintptr_t instance, std::uintptr_t param1,
                               std::uintptr_t param2);
    // Runs on the MIDI system's callback thread.
    void HandleInput(std::uint32_t msg, std::uintptr_t param1, std::uintptr_t param2);

    // The number of the last buffer that the device returned with bytes in it (0 before the
    // first). Every such buffer is numbered as it comes back, one more than the one before, over
    // the port's whole life (stops and starts included), before its entry joins the list, so a
    // number read now is below the number of every message that completes later. Any thread.
    std::uint64_t ReceivedSequence() const { return m_receivedSequence.load(); }

    bool IsStarted() const { return m_started != 0; }
    // True once the device has left the system while the port was started (the MIDI system said
    // so with MIDI_IN_CLOSE); false again after the next Start. Any thread.
    bool DeviceGone() const { return m_deviceGone.load(); }

    // Where the headers, the receive buffers (one block each) and the received entries come from:
    // the process heap unless replaced (a test puts in a heap that fails). Set before the first
    // Start.
    using AllocateFn = void* (*)(std::size_t size);
    using ReleaseFn = void (*)(void* block);
    void SetHeap(AllocateFn allocate, ReleaseFn release);

    // Written by the caller before Start (UI thread only).
    std::uint32_t m_deviceIndex = 0;

private:
    platform::IMidiInApi& m_api;
    platform::MidiInHandle m_hMidiIn = nullptr;
    // RECEIVE_BUFFER_COUNT headers and their buffers (one block of RECEIVE_BUFFER_COUNT *
    // RECEIVE_BUFFER_SIZE bytes); null while stopped. Written on the UI thread only; the callback
    // uses the header that the device hands it.
    platform::MidiHeader* m_pHeaders = nullptr;
    char* m_pBuffers = nullptr;
    int m_started = 0;
    std::mutex m_listLock;               // guards m_pReceived and the links of the list
    ReceivedSysEx* m_pReceived = nullptr;  // head; must be accessed with m_listLock held
    // Youngest entry, so that an append on the callback thread does not walk the list while it
    // holds m_listLock; null when the list is empty; guarded by m_listLock.
    ReceivedSysEx* m_pLastReceived = nullptr;

    std::atomic<AllocateFn> m_allocate;
    std::atomic<ReleaseFn> m_release;

    // Advanced by HandleInput (callback thread) as each buffer comes back, read by any thread;
    // only the count itself is shared (an entry carries its own number), so a plain atomic serves.
    std::atomic<std::uint64_t> m_receivedSequence{0};
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free,
                  "the callback must count without a lock");

    // Set by HandleInput (callback thread) on MIDI_IN_CLOSE, cleared by Start (UI thread) before
    // the device opens; read by any thread.
    std::atomic<bool> m_deviceGone{false};
    // Set by the UI thread around its own close of the device, whose MIDI_IN_CLOSE (WinMM sends
    // one) says nothing about the device; read by HandleInput, which runs inside that close.
    std::atomic<bool> m_closing{false};

    void* AllocateZeroed(std::size_t size);
    void FreeReceiveBuffers();
    bool ReleaseDevice();
    platform::MidiResult CloseDevice();
    void Append(ReceivedSysEx* entry);
};
