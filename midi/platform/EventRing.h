// A ring of MIDI events (byte records) from one producer thread to one consumer thread, without
// locks and without allocation once it is made: neither side ever waits for the other, so either
// may be a real-time thread (JACK's process thread writes into one, and reads out of another).
//
// Each record is a header (the event's length and a tag that the producer chooses, such as the
// number of events it had to drop just before this one) and the event's bytes, which may wrap
// around the end of the room. A record that does not fit is not written at all.
//
// Threads: Push and WriteSpace on the producer's thread; Front, Pop and ReadSpace on the
// consumer's. Allocate and Clear only while the other side is known not to use the ring.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace platform {

class EventRing {
public:
    struct Header {
        std::uint32_t length;
        std::uint32_t tag;
    };
    // The record at the front, in at most two pieces (the second one empty unless it wraps).
    struct Record {
        std::uint32_t length = 0;
        std::uint32_t tag = 0;
        const std::uint8_t* first = nullptr;
        std::size_t firstLength = 0;
        const std::uint8_t* second = nullptr;
        std::size_t secondLength = 0;

        // Copies the event's bytes to `out` (length bytes).
        void CopyTo(void* out) const {
            std::memcpy(out, first, firstLength);
            if (secondLength > 0) std::memcpy(static_cast<std::uint8_t*>(out) + firstLength, second, secondLength);
        }
    };

    EventRing() = default;
    EventRing(const EventRing&) = delete;
    EventRing& operator=(const EventRing&) = delete;

    // Room for at least `bytes` bytes of records (a power of two); empties the ring. False when
    // the memory can't be had (the ring then holds nothing and takes nothing).
    bool Allocate(std::size_t bytes) noexcept {
        std::size_t size = 64;
        while (size < bytes) size *= 2;
        m_bytes.reset(new (std::nothrow) std::uint8_t[size]);
        m_size = m_bytes ? size : 0;
        m_written.store(0, std::memory_order_relaxed);
        m_read.store(0, std::memory_order_relaxed);
        return m_bytes != nullptr;
    }
    std::size_t Capacity() const { return m_size; }

    // ---- producer ----
    // Bytes a Push of `length` bytes takes.
    static constexpr std::size_t RecordSize(std::size_t length) { return sizeof(Header) + length; }
    std::size_t WriteSpace() const {
        return m_size - (m_written.load(std::memory_order_relaxed) - m_read.load(std::memory_order_acquire));
    }
    // Writes one record; false (nothing written) when it does not fit.
    bool Push(const void* data, std::uint32_t length, std::uint32_t tag = 0) noexcept {
        if (RecordSize(length) > WriteSpace()) return false;
        const std::size_t at = m_written.load(std::memory_order_relaxed);
        const Header header{length, tag};
        Copy(at, &header, sizeof header);
        Copy(at + sizeof header, data, length);
        m_written.store(at + RecordSize(length), std::memory_order_release);
        return true;
    }

    // ---- consumer ----
    std::size_t ReadSpace() const {
        return m_written.load(std::memory_order_acquire) - m_read.load(std::memory_order_relaxed);
    }
    // The oldest record, left in place; false when there is none.
    bool Front(Record& record) const noexcept {
        if (ReadSpace() < sizeof(Header)) return false;
        const std::size_t at = m_read.load(std::memory_order_relaxed);
        Header header{};
        auto* out = reinterpret_cast<std::uint8_t*>(&header);
        for (std::size_t i = 0; i < sizeof header; ++i) out[i] = m_bytes[(at + i) & (m_size - 1)];
        record.length = header.length;
        record.tag = header.tag;
        const std::size_t start = (at + sizeof header) & (m_size - 1);
        record.first = m_bytes.get() + start;
        record.firstLength = header.length < m_size - start ? header.length : m_size - start;
        record.second = m_bytes.get();
        record.secondLength = header.length - record.firstLength;
        return true;
    }
    // Removes the oldest record (one that Front gave).
    void Pop(const Record& record) noexcept {
        m_read.store(m_read.load(std::memory_order_relaxed) + RecordSize(record.length), std::memory_order_release);
    }

    // Drops every record; by the producer while the consumer is known not to run.
    void Clear() noexcept { m_read.store(m_written.load(std::memory_order_relaxed), std::memory_order_release); }

private:
    void Copy(std::size_t at, const void* data, std::size_t n) noexcept {
        if (n == 0) return;
        const std::size_t start = at & (m_size - 1);
        const std::size_t first = n < m_size - start ? n : m_size - start;
        const auto* in = static_cast<const std::uint8_t*>(data);
        std::memcpy(m_bytes.get() + start, in, first);
        std::memcpy(m_bytes.get(), in + first, n - first);
    }

    std::unique_ptr<std::uint8_t[]> m_bytes;  // set by Allocate only
    std::size_t m_size = 0;                   // a power of two, or 0
    // Totals of bytes ever written (by the producer) and read (by the consumer). A consumer that
    // sees a new written position (acquire) sees the record before it; a producer that sees a new
    // read position (acquire) may reuse the room before it.
    std::atomic<std::size_t> m_written{0};
    std::atomic<std::size_t> m_read{0};
};

}  // namespace platform
