// The input side's joining of MIDI events into SysEx buffers (SysExReceiveQueue, which the ALSA,
// JACK, RtMidi and loopback inputs share), against a reference joiner written byte by byte from the buffer
// rules in SysExReceiveQueue.h.
//
// Input layout:
//   byte 0      receive buffer size (one of BUFFER_SIZES, low 3 bits); bit 7 set: the callback
//               always queues a returned buffer again (there is room throughout)
//   bytes 1..8  otherwise one bit per returned buffer (the n-th return, n mod 64): whether the
//               callback queues it again; a buffer not queued again is queued before the next event
//   the rest    events: a control byte c, then (c & 0x1F) + 1 bytes of MIDI that arrive as one
//               event; c & 0x20: reception is stopped and started again before the event
//
// Checked: every buffer and short message that comes back, in order, is what the reference
// computes; with room throughout the same stream gives the same result when it arrives in single
// bytes and in one piece; returned headers are done, not queued, within their length; nothing is
// left queued or prepared after the teardown. AddressSanitizer checks that no buffer or event is
// read or written outside its bounds (both are heap blocks of exactly their size).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/SysExReceiveQueue.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t BUFFER_SIZES[8] = {1, 2, 3, 5, 8, 13, 64, 8192};

// What came back through the input callback, in order, as one flat log (cheap to build and to
// compare): a returned buffer is 'B', its length in four bytes, its bytes; a short message is 'S'
// and its four bytes.
class ReturnLog {
public:
    void Buffer(const std::uint8_t* bytes, std::size_t n) {
        m_log.push_back('B');
        Put32(static_cast<std::uint32_t>(n));
        m_log.insert(m_log.end(), bytes, bytes + n);
    }
    void Short(std::uintptr_t message) {
        m_log.push_back('S');
        Put32(static_cast<std::uint32_t>(message));
    }
    bool operator==(const ReturnLog&) const = default;

private:
    void Put32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) m_log.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    Bytes m_log;
};

// A token of the stream: a MIDI byte, or a stop-and-start of reception.
struct Token {
    bool restart = false;
    std::uint8_t byte = 0;
    bool eventStart = false;  // first token of an event (where a withheld buffer is queued again)
};

// Whether the n-th returned buffer is queued again from inside the callback.
struct RequeuePlan {
    bool always = true;
    std::uint64_t mask = 0;
    bool operator()(std::size_t n) const { return always || ((mask >> (n % 64)) & 1u) != 0; }
};

[[noreturn]] void Fail(const char* what) {
    // libFuzzer records the input that got here.
    __builtin_printf("sysex_join_fuzz: %s\n", what);
    std::abort();
}

int DataBytesFor(std::uint8_t status) {
    if (status < 0xF0) return (status & 0xE0) == 0xC0 ? 1 : 2;  // C0..DF take one
    if (status == 0xF1 || status == 0xF3) return 1;
    if (status == 0xF2) return 2;
    return 0;  // F4, F5, F6
}

// The reference: one buffer of `size` bytes, held by the device while `queued`.
class ReferenceJoiner {
public:
    ReferenceJoiner(std::uint32_t size, RequeuePlan plan) : m_size(size), m_plan(plan) {}

    void Feed(const Token& t) {
        if (t.eventStart && !m_queued) {
            m_queued = true;
            m_held.clear();
        }
        if (t.restart) {
            if (m_inSysEx && m_queued && !m_held.empty()) Return();
            m_inSysEx = false;
            m_status = 0;
            m_have = 0;
            return;
        }
        const std::uint8_t b = t.byte;
        if (b >= 0xF8) {
            Short(b);
        } else if (b == 0xF0) {
            if (m_inSysEx) m_held.clear();  // interrupted by a new message: the part is dropped
            m_inSysEx = true;
            m_status = 0;
            m_have = 0;
            Store(b);
        } else if (b == 0xF7) {
            if (!m_inSysEx) return;
            m_inSysEx = false;
            if (m_queued) {
                m_held.push_back(b);
                Return();
            }
        } else if (b >= 0x80) {
            if (m_inSysEx) m_held.clear();
            m_inSysEx = false;
            m_status = b;
            m_need = DataBytesFor(b);
            m_have = 0;
            if (m_need == 0) {
                Short(b);
                m_status = 0;
            }
        } else if (m_inSysEx) {
            Store(b);
        } else if (m_status != 0) {
            m_data[m_have++] = b;
            if (m_have == m_need) {
                std::uintptr_t p = m_status | (static_cast<std::uintptr_t>(m_data[0]) << 8);
                if (m_need > 1) p |= static_cast<std::uintptr_t>(m_data[1]) << 16;
                Short(p);
                m_have = 0;
                if (m_status >= 0xF0) m_status = 0;
            }
        }
    }

    // Reception stopped for good: a part in the buffer comes back.
    void Finish() {
        Token stop;
        stop.restart = true;
        Feed(stop);
    }

    const ReturnLog& Result() const { return m_result; }

private:
    void Store(std::uint8_t b) {
        if (!m_queued) return;  // no buffer: the byte is lost
        m_held.push_back(b);
        if (m_held.size() == m_size) Return();
    }
    void Return() {
        m_result.Buffer(m_held.data(), m_held.size());
        m_held.clear();
        m_queued = m_plan(m_returns++);
    }
    void Short(std::uintptr_t p) { m_result.Short(p); }

    const std::size_t m_size;
    const RequeuePlan m_plan;
    std::size_t m_returns = 0;
    bool m_queued = true;
    Bytes m_held;
    bool m_inSysEx = false;
    std::uint8_t m_status = 0;
    int m_need = 0;
    int m_have = 0;
    std::uint8_t m_data[2] = {0, 0};
    ReturnLog m_result;
};

// The queue under test with one receive buffer, used as the input port uses it: a returned
// buffer that holds bytes is queued again from inside the callback (unless the plan withholds
// it), an empty one is not.
class Harness {
public:
    Harness(std::uint32_t size, RequeuePlan plan)
        : m_plan(plan),
          m_queue(&Harness::Callback, reinterpret_cast<platform::MidiInHandle>(this),
                  reinterpret_cast<std::uintptr_t>(this)),
          m_storage(new char[size]) {
        m_header.lpData = m_storage.get();
        m_header.dwBufferLength = size;
        if (m_queue.PrepareHeader(&m_header) != platform::MIDI_OK) Fail("prepare");
        if (m_queue.AddBuffer(&m_header) != platform::MIDI_OK) Fail("add buffer");
        if (m_queue.Start() != platform::MIDI_OK) Fail("start");
    }

    void EventStart() {
        if (m_queue.QueuedCount() == 0) {
            m_queue.PrepareHeader(&m_header);
            if (m_queue.AddBuffer(&m_header) != platform::MIDI_OK) Fail("queue again");
        }
    }
    void Restart() {
        m_queue.Stop();
        m_queue.Start();
    }
    void Receive(const std::uint8_t* bytes, std::size_t n) {
        // An exact-size heap copy, so that a read past the event is caught.
        std::unique_ptr<std::uint8_t[]> event(new std::uint8_t[n]);
        std::memcpy(event.get(), bytes, n);
        m_queue.Receive(event.get(), n);
    }

    // Stop (a part comes back), Reset (the queued buffer comes back empty), unprepare, close.
    ReturnLog Finish() {
        m_queue.Stop();
        m_tearingDown = true;
        m_queue.Reset();
        if (m_queue.QueuedCount() != 0) Fail("a buffer stayed queued after Reset");
        if (m_queue.UnprepareHeader(&m_header) != platform::MIDI_OK) Fail("unprepare");
        if (m_queue.PreparedCount() != 0) Fail("a header stayed prepared");
        if (m_queue.Close() != platform::MIDI_OK) Fail("close");
        return m_returned;
    }

private:
    static void Callback(platform::MidiInHandle, std::uint32_t msg, std::uintptr_t instance,
                         std::uintptr_t p1, std::uintptr_t) {
        auto* self = reinterpret_cast<Harness*>(instance);
        if (msg == platform::MIDI_IN_DATA) {
            self->m_returned.Short(p1);
            return;
        }
        if (msg != platform::MIDI_IN_LONGDATA) Fail("unexpected notification");
        auto* h = reinterpret_cast<platform::MidiHeader*>(p1);
        if (h != &self->m_header) Fail("a header that was never queued came back");
        if ((h->dwFlags & platform::MIDI_HDR_DONE) == 0) Fail("returned without the done flag");
        if ((h->dwFlags & platform::MIDI_HDR_INQUEUE) != 0) Fail("returned while still queued");
        if (h->dwBytesRecorded > h->dwBufferLength) Fail("more bytes recorded than the buffer holds");
        if (h->dwBytesRecorded == 0) {
            if (!self->m_tearingDown) Fail("an empty buffer came back during reception");
            return;  // the port does not queue an empty buffer again
        }
        if (self->m_tearingDown) Fail("a buffer with bytes came back from Reset");
        self->m_returned.Buffer(reinterpret_cast<const std::uint8_t*>(h->lpData), h->dwBytesRecorded);
        if (self->m_plan(self->m_returns++)) {
            self->m_queue.PrepareHeader(h);
            if (self->m_queue.AddBuffer(h) != platform::MIDI_OK) Fail("queue again from the callback");
        }
    }

    const RequeuePlan m_plan;
    std::size_t m_returns = 0;
    platform::SysExReceiveQueue m_queue;
    std::unique_ptr<char[]> m_storage;
    platform::MidiHeader m_header{};
    ReturnLog m_returned;
    bool m_tearingDown = false;
};

// Events of the input: [first, last) ranges of `tokens`, each starting with its restart token
// when it has one.
struct Event {
    std::size_t first;
    std::size_t last;
};

ReturnLog RunQueue(std::uint32_t size, RequeuePlan plan, const std::vector<Token>& tokens,
                               const std::vector<Event>& events) {
    Harness harness(size, plan);
    Bytes run;
    for (const Event& e : events) {
        harness.EventStart();
        run.clear();
        for (std::size_t i = e.first; i < e.last; ++i) {
            if (tokens[i].restart) {
                harness.Restart();
            } else {
                run.push_back(tokens[i].byte);
            }
        }
        if (!run.empty()) harness.Receive(run.data(), run.size());
    }
    return harness.Finish();
}

ReturnLog RunReference(std::uint32_t size, RequeuePlan plan, const std::vector<Token>& tokens,
                                   const std::vector<Event>& events) {
    ReferenceJoiner reference(size, plan);
    for (const Event& e : events) {
        for (std::size_t i = e.first; i < e.last; ++i) {
            Token t = tokens[i];
            t.eventStart = i == e.first;
            reference.Feed(t);
        }
    }
    reference.Finish();
    return reference.Result();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 9) return 0;
    const std::uint32_t bufferSize = BUFFER_SIZES[data[0] & 7];
    RequeuePlan plan;
    plan.always = (data[0] & 0x80) != 0;
    for (int i = 0; i < 8; ++i) plan.mask |= static_cast<std::uint64_t>(data[1 + i]) << (8 * i);

    // Tokens and the events the input cuts them into. A restart is its event's first token.
    std::vector<Token> tokens;
    std::vector<Event> events;
    for (std::size_t at = 9; at < size;) {
        const std::uint8_t c = data[at++];
        Event e{tokens.size(), 0};
        if ((c & 0x20) != 0) {
            Token restart;
            restart.restart = true;
            tokens.push_back(restart);
        }
        const std::size_t n = std::min<std::size_t>((c & 0x1F) + 1u, size - at);
        for (std::size_t i = 0; i < n; ++i) {
            Token t;
            t.byte = data[at + i];
            tokens.push_back(t);
        }
        at += n;
        e.last = tokens.size();
        if (e.last > e.first) events.push_back(e);
    }

    const ReturnLog expected = RunReference(bufferSize, plan, tokens, events);
    if (RunQueue(bufferSize, plan, tokens, events) != expected) Fail("differs from the reference joiner");
    if (!plan.always) return 0;

    // With room throughout, how the stream is split into events does not matter: single bytes,
    // and one event per stretch between restarts.
    std::vector<Event> single;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const bool withByte = tokens[i].restart && i + 1 < tokens.size() && !tokens[i + 1].restart;
        single.push_back({i, withByte ? i + 2 : i + 1});
        if (withByte) ++i;
    }
    std::vector<Event> whole;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (tokens[i].restart || whole.empty()) {
            whole.push_back({i, i + 1});
        } else {
            whole.back().last = i + 1;
        }
    }
    if (RunQueue(bufferSize, plan, tokens, single) != expected) Fail("single bytes differ from the reference");
    if (RunQueue(bufferSize, plan, tokens, whole) != expected) Fail("one piece differs from the reference");
    return 0;
}
