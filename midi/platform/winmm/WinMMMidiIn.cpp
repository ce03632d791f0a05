// MIDI input on the Windows multimedia API: a thin mapping of each operation onto its midiIn*
// call (through WinMMInFunctions, the system's in the program), with three additions:
//   - A buffer that the driver returns with MIM_LONGERROR (an interrupted or malformed SysEx) is
//     queued again here, so that reception goes on instead of losing a buffer.
//   - A returned buffer in which a new message begins after its first byte holds, before that F0,
//     part of a message that was cut: a driver that does not end a cut message (Wine's ALSA
//     driver does not: a status byte comes apart, bytes lost on the way leave no trace, and the
//     next SysEx goes on into the same buffer) returns it only behind the next message. That part
//     is dropped and the buffer handed on from the F0, so that the port receives what the other
//     inputs (the shared receive queue) hand over: a new F0 discards what came before it. Without
//     it the cut part is what the dispatcher reads, and only once the next message has come.
//   - No midiIn* call is made inside the callback. The documentation forbids it ("can cause a
//     deadlock"), and Wine's ALSA driver does deadlock on it: its sequencer thread holds the lock
//     of the buffer queue while it waits for room among the reports that only the callback
//     thread takes away, so a midiInAddBuffer inside the callback then never returns (and every
//     later midiInReset neither). A buffer queued again from inside the callback (the port's
//     MIM_LONGDATA handling, the MIM_LONGERROR above) goes to the backend's requeue thread, which
//     prepares and queues it at once.
#if defined(_WIN32)

#include <windows.h>
#include <mmsystem.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <utility>

#include "WinMMMidiIn.h"
#include "platform/MidiApi.h"
#include "WinMMSupport.h"

namespace platform {
namespace {

// True on a thread while it runs the driver's callback.
thread_local bool t_inCallback = false;

// Queues returned buffers again on a thread of its own. Push runs on the driver's callback thread;
// Hold, Resume and Forget on the thread that starts, stops, resets and closes the device (never
// inside the callback); the requeue thread alone calls the driver.
class Requeuer {
public:
    explicit Requeuer(const WinMMInFunctions& f) : m_f(f), m_thread([this] { Run(); }) {}
    ~Requeuer() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_quit = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    Requeuer(const Requeuer&) = delete;
    Requeuer& operator=(const Requeuer&) = delete;

    // Queues `header` of `h` again soon, unless `h` is held.
    void Push(HMIDIIN h, MIDIHDR* header) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_held.count(h) != 0) return;
            m_pending.emplace_back(h, header);
        }
        m_wake.notify_all();
    }
    // From now on nothing of `h` is queued again; returns once a queuing of `h` under way is over.
    void Hold(HMIDIIN h) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_held.insert(h);
        for (auto it = m_pending.begin(); it != m_pending.end();) {
            it = it->first == h ? m_pending.erase(it) : std::next(it);
        }
        m_wake.wait(lock, [this, h] { return m_busy != h; });
    }
    void Resume(HMIDIIN h) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held.erase(h);
    }
    // `h` is closed: its handle value may come again for another device.
    void Forget(HMIDIIN h) { Resume(h); }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_quit || !m_pending.empty(); });
            if (m_quit) return;
            const auto [h, header] = m_pending.front();
            m_pending.pop_front();
            m_busy = h;
            lock.unlock();
            // The header stays prepared while the port holds it; prepared again only if not.
            if ((header->dwFlags & MHDR_PREPARED) == 0) m_f.prepareHeader(h, header, sizeof(MIDIHDR));
            m_f.addBuffer(h, header, sizeof(MIDIHDR));
            lock.lock();
            m_busy = nullptr;
            m_wake.notify_all();
        }
    }

    const WinMMInFunctions& m_f;
    std::mutex m_mutex;  // guards everything below
    std::condition_variable m_wake;
    std::deque<std::pair<HMIDIIN, MIDIHDR*>> m_pending;
    std::set<HMIDIIN> m_held;
    HMIDIIN m_busy = nullptr;  // the device whose buffer the requeue thread is queuing now
    bool m_quit = false;
    std::thread m_thread;  // last: starts when everything above is ready
};

struct Input {
    MidiInProc callback;
    std::uintptr_t instance;
    Requeuer* requeuer;
};

// Moves the bytes of a returned buffer from the F0 of the message that follows the cut ones to
// its start (see the top of this file). A message that ends in F7 before the next F0 is whole and
// stays first: the port hands over one message per buffer, as before. Runs on the driver's
// callback thread, on a buffer that the driver no longer writes.
void DropCutPart(MIDIHDR* header) {
    const DWORD count = header->dwBytesRecorded < header->dwBufferLength ? header->dwBytesRecorded
                                                                         : header->dwBufferLength;
    auto* bytes = reinterpret_cast<unsigned char*>(header->lpData);
    DWORD start = 0;
    for (DWORD i = 1; i < count; ++i) {
        if (bytes[i] != 0xF0) continue;
        if (bytes[i - 1] == 0xF7) break;
        start = i;
    }
    if (start == 0) return;
    std::memmove(bytes, bytes + start, count - start);
    header->dwBytesRecorded = count - start;
}

// Runs on the driver's callback thread.
void CALLBACK WinMMInProc(HMIDIIN h, UINT msg, DWORD_PTR instance, DWORD_PTR param1,
                          DWORD_PTR param2) {
    auto* input = reinterpret_cast<Input*>(instance);
    if (input == nullptr) return;
    if (msg == MIM_LONGERROR && param1 != 0) {
        // The bytes are dropped; the buffer goes back.
        input->requeuer->Push(h, reinterpret_cast<MIDIHDR*>(param1));
        return;
    }
    if (msg == MIM_LONGDATA && param1 != 0) DropCutPart(reinterpret_cast<MIDIHDR*>(param1));
    t_inCallback = true;
    input->callback(reinterpret_cast<MidiInHandle>(h), msg, input->instance, param1, param2);
    t_inCallback = false;
}

class WinMMMidiInApi : public IMidiInApi {
public:
    explicit WinMMMidiInApi(const WinMMInFunctions& functions) : m_f(functions), m_requeuer(functions) {}

    std::uint32_t GetNumDevs() override { return m_f.getNumDevs(); }

    MidiResult GetDevCaps(std::uint32_t index, MidiDevCaps& caps) override {
        MIDIINCAPSW c{};
        const MMRESULT r = m_f.getDevCaps(static_cast<UINT_PTR>(static_cast<UINT>(index)), &c,
                                          sizeof c);
        if (r != MMSYSERR_NOERROR) return r;
        ProductNameToUtf8(c.szPname, MAXPNAMELEN, caps.szPname);
        return MIDI_OK;
    }

    MidiResult Open(MidiInHandle* handle, std::uint32_t index, MidiInProc callback,
                    std::uintptr_t instance) override {
        if (handle == nullptr || callback == nullptr) return MIDI_ERR_GENERIC;
        auto* input = new (std::nothrow) Input{callback, instance, &m_requeuer};
        if (input == nullptr) return MIDI_ERR_NOMEM;
        HMIDIIN h = nullptr;
        const MMRESULT r = m_f.open(&h, index, reinterpret_cast<DWORD_PTR>(&WinMMInProc),
                                    reinterpret_cast<DWORD_PTR>(input), CALLBACK_FUNCTION);
        if (r != MMSYSERR_NOERROR) {
            delete input;
            return r;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_inputs[h] = input;
        }
        *handle = reinterpret_cast<MidiInHandle>(h);
        return MIDI_OK;
    }

    // Stop, Reset and Close hold the device's requeuing first: a buffer that the callback hands
    // back meanwhile stays done, as the ones that the reset returns do.
    MidiResult Reset(MidiInHandle handle) override {
        m_requeuer.Hold(H(handle));
        return m_f.reset(H(handle));
    }
    // Inside the callback: the header is prepared already (it stays so while the port holds it);
    // the requeue thread prepares it otherwise.
    MidiResult PrepareHeader(MidiInHandle handle, MidiHeader* header) override {
        if (t_inCallback) return MIDI_OK;
        return m_f.prepareHeader(H(handle), Native(header), sizeof(MIDIHDR));
    }
    MidiResult AddBuffer(MidiInHandle handle, MidiHeader* header) override {
        if (t_inCallback) {
            m_requeuer.Push(H(handle), Native(header));
            return MIDI_OK;
        }
        return m_f.addBuffer(H(handle), Native(header), sizeof(MIDIHDR));
    }
    MidiResult Start(MidiInHandle handle) override {
        m_requeuer.Resume(H(handle));
        return m_f.start(H(handle));
    }
    MidiResult Stop(MidiInHandle handle) override {
        m_requeuer.Hold(H(handle));
        return m_f.stop(H(handle));
    }
    MidiResult UnprepareHeader(MidiInHandle handle, MidiHeader* header) override {
        return m_f.unprepareHeader(H(handle), Native(header), sizeof(MIDIHDR));
    }
    MidiResult Close(MidiInHandle handle) override {
        m_requeuer.Hold(H(handle));
        const MMRESULT r = m_f.close(H(handle));
        if (r != MMSYSERR_NOERROR) return r;
        m_requeuer.Forget(H(handle));
        // The driver calls back no more for this handle.
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_inputs.find(H(handle));
        if (it != m_inputs.end()) {
            delete it->second;
            m_inputs.erase(it);
        }
        return MIDI_OK;
    }

private:
    static HMIDIIN H(MidiInHandle handle) { return reinterpret_cast<HMIDIIN>(handle); }
    // MidiHeader has MIDIHDR's layout (checked in WinMMSupport.cpp).
    static MIDIHDR* Native(MidiHeader* header) { return reinterpret_cast<MIDIHDR*>(header); }

    const WinMMInFunctions& m_f;
    Requeuer m_requeuer;
    std::mutex m_mutex;
    std::map<HMIDIIN, Input*> m_inputs;
};

}  // namespace

const WinMMInFunctions& SystemMidiInFunctions() {
    static const WinMMInFunctions system{
        &midiInGetNumDevs, &midiInGetDevCapsW, &midiInOpen,  &midiInReset,
        &midiInPrepareHeader, &midiInAddBuffer, &midiInStart, &midiInStop,
        &midiInUnprepareHeader, &midiInClose};
    return system;
}

std::unique_ptr<IMidiInApi> MakeWinMMMidiInApi(const WinMMInFunctions& functions) {
    return std::make_unique<WinMMMidiInApi>(functions);
}

IMidiInApi& DefaultMidiInApi() {
    static WinMMMidiInApi api(SystemMidiInFunctions());
    return api;
}

MidiSystemCounts DefaultMidiSystemCounts() { return {}; }

}  // namespace platform

#endif  // _WIN32
