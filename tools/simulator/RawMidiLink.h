// Puts the simulated device behind a raw MIDI device of the kernel (/dev/snd/midiC*D*), the way a
// device sits at the far end of a MIDI cable: what the host sends to the sequencer port of that
// device is read from it, what the device answers is written to it. With snd-virmidi the host
// sees the device as the sequencer client "Virtual Raw MIDI C-D".
//
// The reader takes at most `bytesPerSecond` bytes per second (3125 = a 31250-baud cable; 0 = as
// fast as they come), so a host that sends faster than the cable fills the driver's buffer until
// the driver drops bytes, as a real interface would. Overruns() reports how many it dropped.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace devsim {

// Cuts a raw MIDI byte stream into SysEx messages: from 0xF0 to 0xF7, both included. Real-time
// bytes (0xF8 and above) inside a message are dropped as a receiver of the cable would; any other
// status byte ends an unfinished message, which is handed over as it is (without 0xF7). Bytes
// outside a SysEx message are handed over one run at a time so that the device can count them.
class RawSysExSplitter {
public:
    using Sink = std::function<void(const uint8_t* data, size_t size)>;
    static constexpr size_t MAX_MESSAGE = 65536;

    explicit RawSysExSplitter(Sink sink) : m_sink(std::move(sink)) {}
    void Feed(const uint8_t* data, size_t size);

private:
    void Flush();

    Sink m_sink;
    std::vector<uint8_t> m_pending;
    bool m_inSysEx = false;
};

class RawMidiLink {
public:
    RawMidiLink() = default;
    ~RawMidiLink() { Close(); }
    RawMidiLink(const RawMidiLink&) = delete;
    RawMidiLink& operator=(const RawMidiLink&) = delete;

    // Opens `path` for reading and writing and starts the reader thread, which hands every byte
    // read to `onBytes`. False (with a reason in *error) when the device can't be opened.
    bool Open(const std::string& path, unsigned bytesPerSecond, std::function<void(const uint8_t*, size_t)> onBytes,
              std::string* error);
    // Writes all of `bytes`; false when the device refuses them or stays full for 2 s.
    bool Write(const std::vector<uint8_t>& bytes);
    // Bytes that the driver has dropped so far because the reader was behind (the driver's input
    // overrun count, which it resets when asked; the sum is kept here). -1 when it can't be asked.
    long Overruns();
    // Bytes read from the device so far.
    uint64_t BytesRead() const { return m_bytesRead.load(); }
    // Stops the reader and closes the device; safe to call twice.
    void Close();

private:
    void Run(unsigned bytesPerSecond);

    int m_fd = -1;
    std::function<void(const uint8_t*, size_t)> m_onBytes;
    std::mutex m_writeLock;               // one writer at a time
    std::atomic<bool> m_stop{false};      // written by Close, read by the reader thread
    std::atomic<uint64_t> m_bytesRead{0};  // written by the reader thread, read by anyone
    long m_overruns = 0;                  // Overruns' caller only
    std::thread m_reader;
};

}  // namespace devsim
