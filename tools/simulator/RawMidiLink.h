// Puts the simulated device behind a raw MIDI device of the kernel, the way a device sits at the far
// end of a MIDI cable or a USB cable: what the host sends to that device is read from it, what the
// device answers is written to it. With snd-virmidi the host sees the device as the sequencer
// client "Virtual Raw MIDI C-D"; with a USB gadget's MIDI function (f_midi) as the USB MIDI device
// that the host's USB audio driver made of the gadget.
//
// The reader takes at most `bytesPerSecond` bytes per second (3125 = a 31250-baud cable; 0 = as
// fast as they come), so a host that sends faster than the cable fills the driver's buffer until
// the driver drops bytes, as a real interface would. A driver does not hold its sender back: what
// arrives while its buffer is full is dropped. The link therefore counts, besides what it read, what
// the driver says it dropped (its overrun count) and what it says it received; a byte received and
// neither read nor still waiting was lost, and Tally().Lost() says so.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace devsim {

// Cuts a raw MIDI byte stream into SysEx messages: from 0xF0 to 0xF7, both included. Real-time
// bytes (0xF8 and above) inside a message are dropped as a receiver of the cable would; any other
// status byte ends an unfinished message, which is handed over as it is (without 0xF7). Bytes
// outside a SysEx message are handed over one run at a time so that the device can count them.
//
// A message whose first bytes tell its whole length (the `framer` says it) is also handed over
// once it is that long, whether its last byte is 0xF7 or not, as a device that reads the length
// field does: a message whose 0xF7 was changed on the way is then refused as malformed (and sent
// again by the host) instead of waiting for an end that never comes.
class RawSysExSplitter {
public:
    using Sink = std::function<void(const uint8_t* data, size_t size)>;
    // The whole length of the message that begins with `size` bytes at `data`, or 0 while they
    // don't tell it.
    using Framer = std::function<size_t(const uint8_t* data, size_t size)>;
    static constexpr size_t MAX_MESSAGE = 65536;
    static constexpr size_t FRAMED_HEADER_MAX = 16;  // the framer is asked until the message is this long

    explicit RawSysExSplitter(Sink sink, Framer framer = {}) : m_sink(std::move(sink)), m_framer(std::move(framer)) {}
    void Feed(const uint8_t* data, size_t size);
    // The message begun and not ended yet (empty when none is under way).
    const std::vector<uint8_t>& Unfinished() const { return m_pending; }

private:
    void Flush();

    Sink m_sink;
    Framer m_framer;
    std::vector<uint8_t> m_pending;
    bool m_inSysEx = false;
    size_t m_framedLength = 0;  // of the message under way, once the framer told it
};

// What the driver tells of the input since the device was opened; -1 where it tells nothing.
struct DriverCounts {
    long long dropped = -1;   // bytes it dropped because its buffer was full (overruns)
    long long received = -1;  // bytes that reached it from the wire, dropped ones included
};

// One raw MIDI device, as the link uses it: opened for input and output, not blocking.
class RawMidiPort {
public:
    virtual ~RawMidiPort() = default;
    // Descriptors to poll: POLLIN on the first when bytes wait, POLLOUT on the second when the
    // output has room (they may be the same).
    virtual int InputFd() const = 0;
    virtual int OutputFd() const = 0;
    // Bytes read or written, 0 when none wait or there is no room now, -1 when the device failed
    // (it has gone).
    virtual ssize_t Read(uint8_t* data, size_t size) = 0;
    virtual ssize_t Write(const uint8_t* data, size_t size) = 0;
    // Counts since the open; any thread, one at a time.
    virtual DriverCounts Counts() = 0;
};

// Opens an ALSA raw MIDI device for input and output: DEVICE is its node ("/dev/snd/midiC1D0") or
// its ALSA name ("hw:1,0" or "hw:1,0,0"). The driver's input buffer is made `inputBuffer` bytes
// large (0: the driver's own size is kept). Null (with a reason in *error) when it can't be opened
// or the buffer can't be had. Linux only.
std::unique_ptr<RawMidiPort> OpenAlsaRawMidi(const std::string& device, size_t inputBuffer, std::string* error);

class RawMidiLink {
public:
    // What became of the bytes that came in, taken when the link closed (or now, while it runs).
    struct Tally {
        uint64_t read = 0;      // read from the device (handed to the device simulator)
        uint64_t leftOver = 0;  // still waiting when the link closed (read then, not handed on)
        DriverCounts driver;
        // Bytes that the driver took but no one read: its overruns, or received minus read.
        long long Lost() const;
        // "R bytes received by the driver, D dropped, X read" (with "unknown" where it tells nothing).
        std::string Describe() const;
    };

    RawMidiLink() = default;
    ~RawMidiLink() { Close(); }
    RawMidiLink(const RawMidiLink&) = delete;
    RawMidiLink& operator=(const RawMidiLink&) = delete;

    // Takes `port` and starts the reader thread, which reads as soon as bytes come (at most
    // `bytesPerSecond`, see above) and hands every byte read to `onBytes`. False for a null port.
    bool Open(std::unique_ptr<RawMidiPort> port, unsigned bytesPerSecond,
              std::function<void(const uint8_t*, size_t)> onBytes);
    // Writes all of `bytes`; false when the device refuses them or stays full for 2 s.
    bool Write(const std::vector<uint8_t>& bytes);
    // Bytes read from the device so far.
    uint64_t BytesRead() const { return m_bytesRead.load(); }
    // The counts (see Tally); after Close, those taken while closing.
    Tally Counts();
    // Stops the reader, takes the last counts and closes the device; safe to call twice.
    void Close();

private:
    void Run(unsigned bytesPerSecond);

    std::unique_ptr<RawMidiPort> m_port;  // set by Open, reset by Close (both on the owner's thread)
    std::function<void(const uint8_t*, size_t)> m_onBytes;
    std::mutex m_lock;                     // one writer at a time; guards m_port's output and m_final
    std::atomic<bool> m_stop{false};       // written by Close, read by the reader thread
    std::atomic<uint64_t> m_bytesRead{0};  // written by the reader thread, read by anyone
    bool m_closed = false;                 // under m_lock: m_final holds the last counts
    Tally m_final;                         // under m_lock
    std::thread m_reader;
};

}  // namespace devsim
