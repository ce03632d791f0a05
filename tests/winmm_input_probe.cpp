// tarnet-winmm-input-probe.exe: what the system's MIDI input driver does with SysEx input, seen
// through the multimedia API alone (no code of the program's): a long message, a burst. An
// exploration aid for Wine's drivers (scripts/winmm-input-probe-vm.sh runs it under Wine on the
// ALSA sequencer), not a test of its own.
//
//   tarnet-winmm-input-probe.exe DEVICE [--buffers N] [--size BYTES] [--idle MS] [--limit S]
//                                [--requeue-thread] [--all]
//
// DEVICE is an input device's index or its name. The probe queues N buffers (default 1) of BYTES
// (default 8192), starts, prints "ready", and queues each buffer again as soon as it comes back:
// from inside the callback (as most programs do, against the documentation), or with
// --requeue-thread from a thread of its own that the callback wakes. Once input has been idle for MS milliseconds
// (default 3000) after the first report, or after S seconds (default 120), it stops and prints
// every returned buffer in a short form (the first 12 and the last 12 of them; all with --all)
// and the totals: buffers, full ones without F7, SysEx messages put together from the buffers,
// the device's numbered requests among them (F0 7D 00 6A 06 n n F7) and whether they came in
// order, and the short messages by kind. Exit status 0, or 2 when the device cannot be opened.
#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// One returned buffer as the callback saw it.
struct Returned {
    UINT msg;             // MIM_LONGDATA or MIM_LONGERROR
    DWORD bytes;          // dwBytesRecorded
    DWORD time;           // the driver's time stamp (ms since midiInStart)
    unsigned char head[16];
    unsigned char tail[2];
    bool full;            // dwBytesRecorded == dwBufferLength
};

constexpr std::size_t MAX_RECORDS = 200000;

// Written by the callback (the driver's thread), read by main after midiInReset and midiInClose
// have returned, which end the callbacks.
std::vector<Returned> g_returned;
std::atomic<std::size_t> g_count{0};
std::atomic<unsigned> g_shortByKind[256];
std::atomic<unsigned> g_lost{0};    // records beyond MAX_RECORDS
std::atomic<DWORD> g_lastReport{0};  // GetTickCount() of the latest report, 0 before the first
std::atomic<bool> g_stopping{false};
std::atomic<unsigned> g_readdFailures{0};

// --requeue-thread: returned buffers wait here for the requeue thread.
bool g_requeueThread = false;
std::mutex g_requeueLock;
std::condition_variable g_requeueWake;
std::deque<MIDIHDR*> g_requeue;

void Requeue(HMIDIIN h, MIDIHDR* header) {
    if (g_stopping.load()) return;  // the reset returns them empty
    if (g_requeueThread) {
        {
            std::lock_guard<std::mutex> lock(g_requeueLock);
            g_requeue.push_back(header);
        }
        g_requeueWake.notify_one();
    } else if (midiInAddBuffer(h, header, sizeof(MIDIHDR)) != MMSYSERR_NOERROR) {
        g_readdFailures.fetch_add(1);
    }
}

void CALLBACK OnInput(HMIDIIN h, UINT msg, DWORD_PTR, DWORD_PTR param1, DWORD_PTR param2) {
    if (msg == MIM_DATA) {
        g_shortByKind[param1 & 0xFF].fetch_add(1);
        g_lastReport.store(GetTickCount());
        return;
    }
    if (msg != MIM_LONGDATA && msg != MIM_LONGERROR) return;
    auto* header = reinterpret_cast<MIDIHDR*>(param1);
    if (header == nullptr) return;
    if (header->dwBytesRecorded > 0 || msg == MIM_LONGERROR) {
        const std::size_t i = g_count.load();
        if (i < MAX_RECORDS) {
            Returned& r = g_returned[i];
            r.msg = msg;
            r.bytes = header->dwBytesRecorded;
            r.time = static_cast<DWORD>(param2);
            r.full = header->dwBytesRecorded == header->dwBufferLength;
            const DWORD n = header->dwBytesRecorded;
            std::memcpy(r.head, header->lpData, n < sizeof r.head ? n : sizeof r.head);
            r.tail[0] = n >= 2 ? static_cast<unsigned char>(header->lpData[n - 2]) : 0;
            r.tail[1] = n >= 1 ? static_cast<unsigned char>(header->lpData[n - 1]) : 0;
            g_count.store(i + 1);
        } else {
            g_lost.fetch_add(1);
        }
        g_lastReport.store(GetTickCount());
    }
    // Back to the driver at once, unless the probe is stopping.
    Requeue(h, header);
}

std::string Narrow(const wchar_t* w) {
    char out[256];
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, out, sizeof out, nullptr, nullptr);
    return n > 0 ? std::string(out) : std::string();
}

int FindDevice(const std::string& wanted) {
    const UINT count = midiInGetNumDevs();
    char* end = nullptr;
    const long index = std::strtol(wanted.c_str(), &end, 10);
    if (!wanted.empty() && *end == '\0' && index >= 0 && static_cast<UINT>(index) < count) {
        return static_cast<int>(index);
    }
    for (UINT i = 0; i < count; ++i) {
        MIDIINCAPSW caps{};
        if (midiInGetDevCapsW(i, &caps, sizeof caps) == MMSYSERR_NOERROR && Narrow(caps.szPname) == wanted) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void PrintReturned(std::size_t i, const Returned& r) {
    std::printf("  #%zu %s %lu bytes at %lu ms:", i + 1, r.msg == MIM_LONGERROR ? "MIM_LONGERROR" : "MIM_LONGDATA",
                static_cast<unsigned long>(r.bytes), static_cast<unsigned long>(r.time));
    const DWORD shown = r.bytes < 8 ? r.bytes : 8;
    for (DWORD k = 0; k < shown; ++k) std::printf(" %02X", r.head[k]);
    if (r.bytes > 8) std::printf(" .. %02X %02X", r.tail[0], r.tail[1]);
    std::printf("%s%s\n", r.full ? "  (full)" : "", r.bytes > 0 && r.tail[1] == 0xF7 ? "  (ends in F7)" : "");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DEVICE [--buffers N] [--size BYTES] [--idle MS] [--limit S] "
                             "[--requeue-thread] [--all]\n", argv[0]);
        return 2;
    }
    const std::string device = argv[1];
    unsigned buffers = 1;
    unsigned size = 8192;
    unsigned idleMs = 3000;
    unsigned limitS = 120;
    bool all = false;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--buffers" && hasValue) buffers = static_cast<unsigned>(std::atoi(argv[++i]));
        else if (a == "--size" && hasValue) size = static_cast<unsigned>(std::atoi(argv[++i]));
        else if (a == "--idle" && hasValue) idleMs = static_cast<unsigned>(std::atoi(argv[++i]));
        else if (a == "--limit" && hasValue) limitS = static_cast<unsigned>(std::atoi(argv[++i]));
        else if (a == "--all") all = true;
        else if (a == "--requeue-thread") g_requeueThread = true;
        else {
            std::fprintf(stderr, "unknown argument %s\n", a.c_str());
            return 2;
        }
    }
    if (buffers == 0 || size == 0) return 2;
    g_returned.resize(MAX_RECORDS);

    const UINT count = midiInGetNumDevs();
    std::printf("input devices: %u\n", count);
    for (UINT i = 0; i < count; ++i) {
        MIDIINCAPSW caps{};
        if (midiInGetDevCapsW(i, &caps, sizeof caps) == MMSYSERR_NOERROR) {
            std::printf("  %u: \"%s\"\n", i, Narrow(caps.szPname).c_str());
        }
    }
    const int index = FindDevice(device);
    if (index < 0) {
        std::printf("no input device \"%s\"\n", device.c_str());
        return 2;
    }
    HMIDIIN in = nullptr;
    MMRESULT r = midiInOpen(&in, static_cast<UINT>(index), reinterpret_cast<DWORD_PTR>(&OnInput), 0,
                            CALLBACK_FUNCTION);
    if (r != MMSYSERR_NOERROR) {
        std::printf("midiInOpen(%d): error %u\n", index, r);
        return 2;
    }
    std::vector<MIDIHDR> headers(buffers);
    std::vector<std::vector<char>> data(buffers, std::vector<char>(size));
    for (unsigned i = 0; i < buffers; ++i) {
        headers[i] = MIDIHDR{};
        headers[i].lpData = data[i].data();
        headers[i].dwBufferLength = size;
        if (midiInPrepareHeader(in, &headers[i], sizeof(MIDIHDR)) != MMSYSERR_NOERROR ||
            midiInAddBuffer(in, &headers[i], sizeof(MIDIHDR)) != MMSYSERR_NOERROR) {
            std::printf("buffer %u could not be queued\n", i);
            return 2;
        }
    }
    std::atomic<bool> requeueEnd{false};
    std::thread requeuer([&] {
        std::unique_lock<std::mutex> lock(g_requeueLock);
        for (;;) {
            g_requeueWake.wait(lock, [&] { return requeueEnd.load() || !g_requeue.empty(); });
            if (requeueEnd.load()) return;
            MIDIHDR* header = g_requeue.front();
            g_requeue.pop_front();
            lock.unlock();
            if (!g_stopping.load() && midiInAddBuffer(in, header, sizeof(MIDIHDR)) != MMSYSERR_NOERROR) {
                g_readdFailures.fetch_add(1);
            }
            lock.lock();
        }
    });
    midiInStart(in);
    std::printf("ready: device %d, %u buffers of %u bytes queued, queued again %s\n", index, buffers, size,
                g_requeueThread ? "by a thread of the probe's" : "inside the callback");
    std::fflush(stdout);

    const DWORD started = GetTickCount();
    for (;;) {
        Sleep(50);
        const DWORD now = GetTickCount();
        const DWORD last = g_lastReport.load();
        if (last != 0 && now - last >= idleMs) break;
        if (now - started >= limitS * 1000u) break;
    }
    // Each step is announced, so that a step that does not return shows where.
    std::printf("stopping after %zu buffers, %lu ms after the start\n", g_count.load(),
                static_cast<unsigned long>(GetTickCount() - started));
    std::fflush(stdout);
    g_stopping = true;
    {
        std::lock_guard<std::mutex> lock(g_requeueLock);
        requeueEnd = true;
    }
    g_requeueWake.notify_one();
    requeuer.join();
    midiInStop(in);
    midiInReset(in);
    std::printf("reset\n");
    std::fflush(stdout);
    for (unsigned i = 0; i < buffers; ++i) midiInUnprepareHeader(in, &headers[i], sizeof(MIDIHDR));
    r = midiInClose(in);
    std::printf("closed (%u)\n", r);

    const std::size_t n = g_count.load();
    std::printf("returned buffers (%zu):\n", n);
    for (std::size_t i = 0; i < n; ++i) {
        if (all || i < 12 || i + 12 >= n) PrintReturned(i, g_returned[i]);
        else if (i == 12) std::printf("  ...\n");
    }
    // SysEx messages put together from the buffers: a buffer that begins with F0 starts one, one
    // that ends in F7 ends it; a request is a whole message of 8 bytes F0 7D 00 6A 06 n n F7.
    std::size_t fullWithoutF7 = 0, endsInF7 = 0, longErrors = 0, messages = 0, requests = 0;
    long lastRequest = -1;
    bool inOrder = true;
    unsigned long totalBytes = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Returned& b = g_returned[i];
        totalBytes += b.bytes;
        if (b.msg == MIM_LONGERROR) {
            ++longErrors;
            continue;
        }
        const bool f7 = b.bytes > 0 && b.tail[1] == 0xF7;
        if (b.full && !f7) ++fullWithoutF7;
        if (f7) ++endsInF7;
        if (b.bytes > 0 && b.head[0] == 0xF0 && f7) ++messages;
        if (b.bytes == 8 && b.head[0] == 0xF0 && b.head[1] == 0x7D && b.head[4] == 0x06 && f7) {
            const long number = b.head[5] | (b.head[6] << 7);
            if (number != lastRequest + 1) inOrder = false;
            lastRequest = number;
            ++requests;
        }
    }
    std::printf("totals: %zu buffers, %lu bytes; %zu full without F7, %zu ending in F7, %zu MIM_LONGERROR;"
                " %zu whole messages in one buffer; %zu requests%s\n",
                n, totalBytes, fullWithoutF7, endsInF7, longErrors, messages, requests,
                requests == 0 ? "" : inOrder ? " (numbered in order from 0)" : " (numbers skip or repeat)");
    std::printf("short messages:");
    unsigned shortTotal = 0;
    for (int k = 0; k < 256; ++k) {
        const unsigned c = g_shortByKind[k].load();
        if (c != 0) std::printf(" %02X:%u", k, c);
        shortTotal += c;
    }
    std::printf(" (%u)\n", shortTotal);
    if (g_lost.load() != 0) std::printf("records lost (more than %zu): %u\n", MAX_RECORDS, g_lost.load());
    if (g_readdFailures.load() != 0) std::printf("midiInAddBuffer failed %u times\n", g_readdFailures.load());
    std::fflush(stdout);
    return 0;
}
