// A stand-in for a MIDI input driver beneath the WinMM input backend (WinMMInFunctions), with one
// device, behaving as the multimedia documentation describes a driver:
//   - midiInAddBuffer queues a prepared buffer; the device writes SysEx bytes into the oldest
//     queued buffer and returns it (MIM_LONGDATA, MHDR_DONE, dwBytesRecorded) when the F7 is in
//     or when it is full; the rest of a longer message goes into the next buffer. Buffers come
//     back in the order in which they were queued.
//   - SysEx bytes that arrive while no buffer is queued are lost (counted by DroppedBytes).
//   - A status byte other than a real-time one inside a SysEx message ends it: the buffer comes
//     back with what it holds as MIM_LONGERROR. Short messages come as MIM_DATA. With
//     `endsCutMessages` false the driver does as Wine's ALSA driver: it never ends a SysEx message
//     that was cut (by a status byte, a new F0, or bytes lost before they reached it), so the bytes
//     of the next SysEx message go on into the buffer that holds the cut part, which comes back
//     when it is full or ends in F7.
//   - midiInStop returns a buffer that holds part of a message as done and leaves empty ones
//     queued; midiInReset returns every queued buffer as done; midiInUnprepareHeader and
//     midiInClose refuse while a buffer is queued (MIDIERR_STILLPLAYING).
//   - The callback (CALLBACK_FUNCTION) runs on the driver's own thread, which may run late: the
//     device goes on recording while reports wait for that thread. With `lateReports` the thread
//     runs only when `reportLimit` reports wait or when the device is idle: the latest a callback
//     can come. The device runs ahead of the application by at most `reportLimit` buffers: it
//     waits while that many reports wait for the callback (as Wine's ALSA driver does with its
//     64), and while the application holds that many returned buffers that it has not queued
//     again yet.
//   - No multimedia function may be called inside the callback ("can cause a deadlock"): such
//     calls are counted (CallsInsideCallback) and otherwise served.
// One driver at a time (its functions are plain function pointers and reach the one that lives).
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/winmm/WinMMMidiIn.h"

namespace winmmtest {

class StandInDriver {
public:
    struct Options {
        std::size_t reportLimit = 64;
        bool lateReports = true;
        bool endsCutMessages = true;
    };

    explicit StandInDriver(Options options) : m_options(options) {
        s_current.store(this);
        m_thread = std::thread([this] { DeliverReports(); });
    }
    StandInDriver() : StandInDriver(Options{}) {}
    ~StandInDriver() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_quit = true;
        }
        m_changed.notify_all();
        m_thread.join();
        s_current.store(nullptr);
    }
    StandInDriver(const StandInDriver&) = delete;
    StandInDriver& operator=(const StandInDriver&) = delete;

    // The functions that reach the driver that lives.
    static const platform::WinMMInFunctions& Functions() {
        static const platform::WinMMInFunctions functions{
            &GetNumDevs, &GetDevCaps, &Open, &Reset, &PrepareHeader, &AddBuffer,
            &Start,      &Stop,       &UnprepareHeader, &Close};
        return functions;
    }

    // Bytes from the device, in order. Returns when they are recorded; waits while `reportLimit`
    // reports wait for the callback thread.
    void Receive(const std::vector<std::uint8_t>& bytes) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_deviceBusy = true;
        for (std::uint8_t byte : bytes) {
            if (m_running) Record(lock, byte);
        }
        m_deviceBusy = false;
        m_changed.notify_all();
    }

    // Waits until every report has reached the callback and the callback has returned.
    bool Settle(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, limit, [this] { return m_reports.empty() && !m_inCallback; });
    }

    std::size_t DroppedBytes() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_dropped;
    }
    std::size_t QueuedBuffers() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_queue.size();
    }
    std::size_t PreparedHeaders() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_prepared;
    }
    bool IsOpen() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_open;
    }
    // The most reports that waited for the callback thread at once.
    std::size_t MostReportsWaiting() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_mostWaiting;
    }
    // Multimedia calls made on the callback thread while it ran the callback.
    std::size_t CallsInsideCallback() const { return m_callsInside.load(); }

private:
    struct Report {
        UINT msg;
        DWORD_PTR param1;
    };
    // The shape of a CALLBACK_FUNCTION for an input device.
    using Callback = void(CALLBACK*)(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

    // The driver that lives; counts a call made inside the callback.
    static StandInDriver* Current() {
        StandInDriver* d = s_current.load();
        if (d != nullptr && std::this_thread::get_id() == d->m_thread.get_id()) d->m_callsInside.fetch_add(1);
        return d;
    }
    HMIDIIN Handle() const { return reinterpret_cast<HMIDIIN>(const_cast<StandInDriver*>(this)); }
    // Call with m_mutex held.
    bool Valid(HMIDIIN h) const { return m_open && h == Handle(); }

    static UINT WINAPI GetNumDevs() { return 1; }

    static MMRESULT WINAPI GetDevCaps(UINT_PTR id, LPMIDIINCAPSW caps, UINT size) {
        if (id != 0) return MMSYSERR_BADDEVICEID;
        if (caps == nullptr || size < sizeof(MIDIINCAPSW)) return MMSYSERR_INVALPARAM;
        *caps = MIDIINCAPSW{};
        lstrcpynW(caps->szPname, L"Stand-in MIDI In", MAXPNAMELEN);
        return MMSYSERR_NOERROR;
    }

    static MMRESULT WINAPI Open(LPHMIDIIN handle, UINT id, DWORD_PTR callback, DWORD_PTR instance,
                                DWORD flags) {
        StandInDriver* d = Current();
        if (d == nullptr || id != 0) return MMSYSERR_BADDEVICEID;
        if ((flags & CALLBACK_TYPEMASK) != CALLBACK_FUNCTION || handle == nullptr) return MMSYSERR_INVALFLAG;
        std::unique_lock<std::mutex> lock(d->m_mutex);
        if (d->m_open) return MMSYSERR_ALLOCATED;
        d->m_open = true;
        d->m_callback = reinterpret_cast<Callback>(callback);
        d->m_instance = instance;
        *handle = d->Handle();
        d->Post(lock, MIM_OPEN, 0);
        return MMSYSERR_NOERROR;
    }

    static MMRESULT WINAPI PrepareHeader(HMIDIIN h, LPMIDIHDR header, UINT size) {
        StandInDriver* d = Current();
        std::lock_guard<std::mutex> lock(d->m_mutex);
        if (!d->Valid(h)) return MMSYSERR_INVALHANDLE;
        if (header == nullptr || size < sizeof(MIDIHDR) || header->lpData == nullptr) return MMSYSERR_INVALPARAM;
        if ((header->dwFlags & MHDR_PREPARED) == 0) {
            header->dwFlags |= MHDR_PREPARED;
            ++d->m_prepared;
        }
        return MMSYSERR_NOERROR;
    }

    static MMRESULT WINAPI UnprepareHeader(HMIDIIN h, LPMIDIHDR header, UINT size) {
        StandInDriver* d = Current();
        std::lock_guard<std::mutex> lock(d->m_mutex);
        if (!d->Valid(h)) return MMSYSERR_INVALHANDLE;
        if (header == nullptr || size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
        if ((header->dwFlags & MHDR_INQUEUE) != 0) return MIDIERR_STILLPLAYING;
        if ((header->dwFlags & MHDR_PREPARED) != 0) {
            header->dwFlags &= ~MHDR_PREPARED;
            --d->m_prepared;
        }
        return MMSYSERR_NOERROR;
    }

    static MMRESULT WINAPI AddBuffer(HMIDIIN h, LPMIDIHDR header, UINT size) {
        StandInDriver* d = Current();
        std::lock_guard<std::mutex> lock(d->m_mutex);
        if (!d->Valid(h)) return MMSYSERR_INVALHANDLE;
        if (header == nullptr || size < sizeof(MIDIHDR) || header->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
        if ((header->dwFlags & MHDR_PREPARED) == 0) return MIDIERR_UNPREPARED;
        if ((header->dwFlags & MHDR_INQUEUE) != 0) return MIDIERR_STILLPLAYING;
        header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
        header->dwBytesRecorded = 0;
        d->m_queue.push_back(header);
        d->m_returned.erase(header);
        d->m_changed.notify_all();
        return MMSYSERR_NOERROR;
    }

    static MMRESULT WINAPI Start(HMIDIIN h) {
        StandInDriver* d = Current();
        std::lock_guard<std::mutex> lock(d->m_mutex);
        if (!d->Valid(h)) return MMSYSERR_INVALHANDLE;
        d->m_running = true;
        return MMSYSERR_NOERROR;
    }

    static MMRESULT WINAPI Stop(HMIDIIN h) {
        StandInDriver* d = Current();
        std::unique_lock<std::mutex> lock(d->m_mutex);
        if (!d->Valid(h)) return MMSYSERR_INVALHANDLE;
        d->m_running = false;
        if (d->m_inSysEx && !d->m_queue.empty() && d->m_queue.front()->dwBytesRecorded > 0) {
            d->ReturnFront(lock, MIM_LONGDATA);
        }
        d->m_inSysEx = false;
        d->m_status = 0;
        return MMSYSERR_NOERROR;
    }

    // Must not be called from inside the callback: it waits until the reports have been delivered.
    static MMRESULT WINAPI Reset(HMIDIIN h) {
        StandInDriver* d = Current();
        std::unique_lock<std::mutex> lock(d->m_mutex);
        if (!d->Valid(h)) return MMSYSERR_INVALHANDLE;
        d->m_running = false;
        d->m_inSysEx = false;
        d->m_status = 0;
        // What waits is delivered first (the callback may queue its buffer again meanwhile).
        d->m_flushing = true;
        d->m_changed.notify_all();
        d->m_changed.wait(lock, [d] { return d->m_reports.empty() && !d->m_inCallback; });
        while (!d->m_queue.empty()) d->ReturnFront(lock, MIM_LONGDATA);
        d->m_changed.wait(lock, [d] { return d->m_reports.empty() && !d->m_inCallback; });
        d->m_flushing = false;
        return MMSYSERR_NOERROR;
    }

    static MMRESULT WINAPI Close(HMIDIIN h) {
        StandInDriver* d = Current();
        std::unique_lock<std::mutex> lock(d->m_mutex);
        if (!d->Valid(h)) return MMSYSERR_INVALHANDLE;
        if (!d->m_queue.empty()) return MIDIERR_STILLPLAYING;
        d->m_running = false;
        d->Post(lock, MIM_CLOSE, 0);
        d->m_flushing = true;
        d->m_changed.notify_all();
        d->m_changed.wait(lock, [d] { return d->m_reports.empty() && !d->m_inCallback; });
        d->m_flushing = false;
        d->m_open = false;
        return MMSYSERR_NOERROR;
    }

    // One byte from the device; call with m_mutex held.
    void Record(std::unique_lock<std::mutex>& lock, std::uint8_t byte) {
        if (byte >= 0xF8) {  // real time: never part of anything else
            Post(lock, MIM_DATA, byte);
            return;
        }
        if (byte == 0xF0) {
            if (m_inSysEx) EndInterrupted(lock);
            m_inSysEx = true;
            m_status = 0;
            Store(lock, byte);
            return;
        }
        if (byte == 0xF7) {
            if (!m_inSysEx) return;
            m_inSysEx = false;
            Store(lock, byte);
            return;
        }
        if (byte >= 0x80) {
            if (m_inSysEx) {
                EndInterrupted(lock);
                m_inSysEx = false;
            }
            m_status = byte;
            m_have = 0;
            m_need = (byte >= 0xC0 && byte <= 0xDF) || byte == 0xF1 || byte == 0xF3 ? 1
                     : byte >= 0xF4                                               ? 0
                                                                                  : 2;
            if (m_need == 0) {
                Post(lock, MIM_DATA, byte);
                m_status = 0;
            }
            return;
        }
        if (m_inSysEx) {
            Store(lock, byte);
            return;
        }
        if (m_status == 0) return;
        m_data[m_have++] = byte;
        if (m_have < m_need) return;
        Post(lock, MIM_DATA, m_status | (m_data[0] << 8) | (m_need > 1 ? m_data[1] << 16 : 0));
        m_have = 0;
        if (m_status >= 0xF0) m_status = 0;
    }

    // A SysEx byte into the oldest queued buffer, or lost when none is queued.
    void Store(std::unique_lock<std::mutex>& lock, std::uint8_t byte) {
        m_changed.wait(lock, [this] { return m_returned.size() < m_options.reportLimit || m_quit; });
        if (m_queue.empty()) {
            ++m_dropped;
            return;
        }
        MIDIHDR* h = m_queue.front();
        h->lpData[h->dwBytesRecorded++] = static_cast<char>(byte);
        if (byte == 0xF7 || h->dwBytesRecorded == h->dwBufferLength) ReturnFront(lock, MIM_LONGDATA);
    }

    void EndInterrupted(std::unique_lock<std::mutex>& lock) {
        if (!m_options.endsCutMessages) return;
        if (!m_queue.empty() && m_queue.front()->dwBytesRecorded > 0) ReturnFront(lock, MIM_LONGERROR);
    }

    void ReturnFront(std::unique_lock<std::mutex>& lock, UINT msg) {
        MIDIHDR* h = m_queue.front();
        m_queue.pop_front();
        h->dwFlags = (h->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
        m_returned.insert(h);
        Post(lock, msg, reinterpret_cast<DWORD_PTR>(h));
    }

    // Queues a report for the callback thread; the device waits while `reportLimit` wait.
    void Post(std::unique_lock<std::mutex>& lock, UINT msg, DWORD_PTR param1) {
        m_changed.wait(lock, [this] { return m_reports.size() < m_options.reportLimit || m_quit; });
        m_reports.push_back(Report{msg, param1});
        if (m_reports.size() > m_mostWaiting) m_mostWaiting = m_reports.size();
        m_changed.notify_all();
    }

    // The driver's callback thread.
    void DeliverReports() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] {
                if (m_quit) return true;
                if (m_reports.empty()) return false;
                return !m_options.lateReports || m_reports.size() >= m_options.reportLimit ||
                       !m_deviceBusy || m_flushing;
            });
            if (m_quit) return;
            const Report report = m_reports.front();
            m_reports.pop_front();
            m_inCallback = true;
            const Callback callback = m_callback;
            const DWORD_PTR instance = m_instance;
            m_changed.notify_all();
            lock.unlock();
            callback(Handle(), report.msg, instance, report.param1, 0);
            lock.lock();
            m_inCallback = false;
            m_changed.notify_all();
        }
    }

    static inline std::atomic<StandInDriver*> s_current{nullptr};

    const Options m_options;
    mutable std::mutex m_mutex;  // guards everything below and the queued headers
    std::condition_variable m_changed;
    std::thread m_thread;
    bool m_quit = false;
    bool m_open = false;
    bool m_running = false;
    bool m_deviceBusy = false;
    bool m_flushing = false;
    bool m_inCallback = false;
    Callback m_callback = nullptr;
    DWORD_PTR m_instance = 0;
    std::deque<MIDIHDR*> m_queue;
    std::set<MIDIHDR*> m_returned;  // returned to the application and not queued again since
    std::deque<Report> m_reports;
    std::size_t m_prepared = 0;
    std::size_t m_dropped = 0;
    std::size_t m_mostWaiting = 0;
    std::atomic<std::size_t> m_callsInside{0};
    bool m_inSysEx = false;
    std::uint8_t m_status = 0;
    std::uint8_t m_data[2] = {0, 0};
    int m_have = 0;
    int m_need = 0;
};

}  // namespace winmmtest
