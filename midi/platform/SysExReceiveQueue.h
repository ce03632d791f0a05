// The receive side of one open MIDI input, shared by the backends that do not have the multimedia
// buffer model themselves (ALSA sequencer, JACK, RtMidi, loopback): the queue of buffers that the
// caller hands in with AddBuffer, and the parser that writes the bytes of each SysEx message into
// the front buffer and gives the buffer back through the input callback.
//
// Buffer semantics:
//   - A SysEx message (0xF0 .. 0xF7) is written into the front queued buffer; the buffer comes back
//     (MIDI_IN_LONGDATA, MIDI_HDR_DONE, dwBytesRecorded) when the 0xF7 is in or when it is full. The rest of
//     a longer message goes into the next queued buffer, which the callback may queue from inside.
//   - While no buffer is queued, the bytes of a SysEx message are dropped.
//   - Bytes arrive in chunks of any size: a chunk without a leading status byte that follows an
//     unterminated SysEx continues it.
//   - A status byte other than a real-time one inside a SysEx interrupts it: the part in the front
//     buffer is discarded and the buffer stays queued, so reception goes on.
//   - Real-time bytes (0xF8..0xFF) inside a SysEx do not interrupt it; they and every other short
//     message come back as MIDI_IN_DATA (status in the low byte, then the data bytes).
//   - Stop returns a partly filled buffer as done; Reset returns every queued buffer as done.
//   - Events that the MIDI system lost before they reached the queue (Lost) end a SysEx in
//     progress like an interrupting status byte, and come back as MIDI_IN_ERROR.
//
// Threads: Receive runs on the MIDI system's thread (several feeders are serialised); the other
// operations on the caller's thread. The callback is never called with a lock held, so it may call
// PrepareHeader and AddBuffer from inside. Reset and Close wait until a callback in flight on
// another thread has returned; they must not be called from inside the callback.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "MidiApi.h"

namespace platform {

class SysExReceiveQueue {
public:
    SysExReceiveQueue(MidiInProc callback, MidiInHandle handle, std::uintptr_t instance);
    SysExReceiveQueue(const SysExReceiveQueue&) = delete;
    SysExReceiveQueue& operator=(const SysExReceiveQueue&) = delete;

    MidiResult PrepareHeader(MidiHeader* header);
    // MIDI_ERR_STILLPLAYING while the header is queued.
    MidiResult UnprepareHeader(MidiHeader* header);
    MidiResult AddBuffer(MidiHeader* header);
    MidiResult Start();
    MidiResult Stop();
    MidiResult Reset();
    // MIDI_ERR_STILLPLAYING while buffers are queued. Once it has succeeded, the callback is not
    // called again and every other operation fails with MIDI_ERR_INVALHANDLE.
    MidiResult Close();

    // Bytes from the device, in order; runs on the MIDI system's thread.
    void Receive(const std::uint8_t* bytes, std::size_t count);
    // The device has left the system: the callback hears MIDI_IN_CLOSE once, on the calling
    // thread (one of the MIDI system's). Nothing happens after Close.
    void DeviceGone();
    // `events` events of the device were lost just before the bytes that come next: the SysEx in
    // progress can't be completed whole, so its part in the front buffer is discarded (the buffer
    // stays queued), and the callback gets MIDI_IN_ERROR with param1 0 and param2 `events`. Only
    // while started. On the thread that calls Receive.
    void Lost(std::uint32_t events);

    std::size_t QueuedCount() const;
    std::size_t PreparedCount() const;

private:
    struct Notification {
        std::uint32_t msg = 0;  // 0: none
        std::uintptr_t param1 = 0;
        std::uintptr_t param2 = 0;
    };

    // Call with m_mutex held. Notify releases it around the callback.
    Notification Step(std::uint8_t byte);
    std::size_t StoreRun(const std::uint8_t* bytes, std::size_t count, Notification& out);
    Notification CompleteFront();
    void DiscardPartial();
    void ResetParser();
    void Notify(std::unique_lock<std::mutex>& lock, const Notification& n);
    void WaitUntilNoCallbackInFlight(std::unique_lock<std::mutex>& lock);

    const MidiInProc m_callback;
    const MidiInHandle m_handle;
    const std::uintptr_t m_instance;

    std::mutex m_feedMutex;  // serialises Receive callers; never taken by the other operations
    mutable std::mutex m_mutex;  // guards everything below and the headers while they are queued
    std::condition_variable m_idle;
    std::deque<MidiHeader*> m_queue;
    std::size_t m_prepared = 0;
    bool m_running = false;
    bool m_closed = false;
    bool m_goneTold = false;  // MIDI_IN_CLOSE has been sent
    std::vector<std::thread::id> m_inFlight;  // threads inside the callback right now

    // Parser state.
    bool m_inSysEx = false;
    std::uint8_t m_status = 0;          // status of the short message being assembled, 0 if none
    std::uint8_t m_data[2] = {0, 0};
    int m_dataHave = 0;
    int m_dataNeed = 0;
};

// An input backend whose open inputs each receive into a SysExReceiveQueue: the buffer calls go to
// the queue of the input that the handle names, and fail with MIDI_ERR_INVALHANDLE for a handle
// that names none.
class QueuedMidiInApi : public IMidiInApi {
public:
    MidiResult Reset(MidiInHandle handle) override;
    MidiResult PrepareHeader(MidiInHandle handle, MidiHeader* header) override;
    MidiResult AddBuffer(MidiInHandle handle, MidiHeader* header) override;
    MidiResult Start(MidiInHandle handle) override;
    MidiResult Stop(MidiInHandle handle) override;
    MidiResult UnprepareHeader(MidiInHandle handle, MidiHeader* header) override;

protected:
    // The queue of the open input that `handle` names, sharing ownership with that input so that a
    // Close on another thread cannot free it while a call uses it; null for an unknown handle.
    virtual std::shared_ptr<SysExReceiveQueue> QueueOf(MidiInHandle handle) = 0;
};

}  // namespace platform
