// The simulator's raw MIDI side: cutting a cable's byte stream into SysEx messages, and the link
// that reads and writes a character device (here a FIFO, which hands back what is written to it).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>

#include <mutex>
#include <string>
#include <vector>

#include "DeviceSimulator.h"
#include "RawMidiLink.h"
#include "TestSupport.h"

using Bytes = std::vector<uint8_t>;

namespace {

std::vector<Bytes> Split(const std::vector<Bytes>& chunks) {
    std::vector<Bytes> out;
    devsim::RawSysExSplitter splitter([&](const uint8_t* d, size_t n) { out.emplace_back(d, d + n); });
    for (const Bytes& c : chunks) splitter.Feed(c.data(), c.size());
    return out;
}

}  // namespace

TEST(RawSysExSplitter, MessagesAreCutAtTheirEndsWhateverTheReadsLookLike) {
    // Two messages back to back, read in pieces that cut across both.
    const auto out = Split({{0xF0, 0x7D}, {0x00, 0x6A, 0xF7, 0xF0, 0x7E}, {0x01, 0xF7}});
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], (Bytes{0xF0, 0x7D, 0x00, 0x6A, 0xF7}));
    EXPECT_EQ(out[1], (Bytes{0xF0, 0x7E, 0x01, 0xF7}));
}

TEST(RawSysExSplitter, RealTimeBytesVanishAndOtherStatusBytesCutAMessageShort) {
    const auto out = Split({{0xF0, 0x01, 0xF8, 0x02, 0xFE, 0xF7}, {0xF0, 0x05, 0x90, 0x3C, 0x64}, {0xF0, 0x06, 0xF7}});
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0], (Bytes{0xF0, 0x01, 0x02, 0xF7}));
    EXPECT_EQ(out[1], (Bytes{0xF0, 0x05}));        // cut short by the Note On, no 0xF7
    EXPECT_EQ(out[2], (Bytes{0x90, 0x3C, 0x64}));  // stray bytes, handed over for counting
    EXPECT_EQ(out[3], (Bytes{0xF0, 0x06, 0xF7}));
}

TEST(RawSysExSplitter, ABlockWhoseEndByteChangedOnTheWayIsHandedOverAtItsLengthAndTheNextArrivesAlone) {
    // A block of 3 bytes: header, 5 address groups, 2 length groups (low first), 4 packed bytes, 5 checksum
    // groups, F7 = 22 bytes; here its F7 came as 0x50. Then the host sends it again, whole.
    Bytes block{0xF0, 0x7D, 0x00, 0x6A, 0x02, 0, 0, 0, 0, 0, 0x03, 0x00, 0x00, 1, 2, 3, 9, 9, 9, 9, 9, 0xF7};
    ASSERT_EQ(devsim::BlockMessageLength(block.data(), block.size()), block.size());
    Bytes changed = block;
    changed.back() = 0x50;
    std::vector<Bytes> out;
    devsim::RawSysExSplitter splitter([&](const uint8_t* d, size_t n) { out.emplace_back(d, d + n); },
                                      devsim::BlockMessageLength);
    splitter.Feed(changed.data(), 7);
    splitter.Feed(changed.data() + 7, changed.size() - 7);
    // Handed over before anything else comes: the device answers it, and the host sends again.
    ASSERT_EQ(out.size(), 1u);
    splitter.Feed(block.data(), block.size());
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], changed);
    EXPECT_EQ(out[1], block);
    EXPECT_TRUE(splitter.Unfinished().empty());

    // Without a framer (or for a message that is no block) the end is only its F7.
    EXPECT_EQ(devsim::BlockMessageLength(Bytes{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}.data(), 6), 0u);
    EXPECT_EQ(Split({changed}).size(), 0u);
}

namespace {

// A raw MIDI device played by a FIFO, which hands back what is written to it. The driver's counts
// are the test's: `received` adds to what passed through the FIFO, `dropped` is reported as is.
class FifoPort final : public devsim::RawMidiPort {
public:
    explicit FifoPort(int fd) : m_fd(fd) {}
    ~FifoPort() override { ::close(m_fd); }
    int InputFd() const override { return m_fd; }
    int OutputFd() const override { return m_fd; }
    ssize_t Read(uint8_t* data, size_t size) override {
        const ssize_t n = ::read(m_fd, data, size);
        if (n > 0) m_passed += n;
        return n < 0 ? (errno == EAGAIN ? 0 : -1) : n;
    }
    ssize_t Write(const uint8_t* data, size_t size) override {
        const ssize_t n = ::write(m_fd, data, size);
        return n < 0 ? (errno == EAGAIN ? 0 : -1) : n;
    }
    devsim::DriverCounts Counts() override {
        return {dropped.load(), received.load() < 0 ? -1 : received.load() + m_passed.load()};
    }

    std::atomic<long long> dropped{0};   // set by the test
    std::atomic<long long> received{0};  // set by the test: bytes the "driver" took beyond those read; -1 unknown

private:
    int m_fd;
    std::atomic<long long> m_passed{0};  // written by the link's reader, read by Counts
};

struct Fifo {
    Fifo() : path(::testing::TempDir() + "rawmidi-fifo-" + std::to_string(::getpid()) + "-" + std::to_string(++count)) {
        ok = ::mkfifo(path.c_str(), 0600) == 0;
    }
    ~Fifo() { ::unlink(path.c_str()); }
    // The FIFO opened both ways, not blocking, as a FifoPort; *port keeps a view for the counts.
    std::unique_ptr<devsim::RawMidiPort> Open(FifoPort** port) const {
        const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return nullptr;
        auto owned = std::make_unique<FifoPort>(fd);
        *port = owned.get();
        return owned;
    }
    static inline int count = 0;
    std::string path;
    bool ok = false;
};

Bytes Message(size_t size) {
    Bytes message(size);
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i % 128);
    message.front() = 0xF0;
    message.back() = 0xF7;
    return message;
}

}  // namespace

TEST(RawMidiLink, OpensWritesReadsBackAndClosesOnACharacterStream) {
    Fifo fifo;
    ASSERT_TRUE(fifo.ok);
    std::mutex lock;
    Bytes received;  // guarded by lock
    devsim::RawMidiLink link;
    FifoPort* port = nullptr;
    ASSERT_TRUE(link.Open(fifo.Open(&port), 100000, [&](const uint8_t* d, size_t n) {
        std::lock_guard<std::mutex> g(lock);
        received.insert(received.end(), d, d + n);
    }));
    const Bytes message = Message(1000);
    EXPECT_TRUE(link.Write(message));
    EXPECT_TRUE(testsupport::WaitFor([&] {
        std::lock_guard<std::mutex> g(lock);
        return received.size() >= message.size();
    }));
    link.Close();
    link.Close();  // twice is harmless
    EXPECT_EQ(received, message);
    EXPECT_EQ(link.BytesRead(), message.size());
    EXPECT_FALSE(link.Write(message));  // closed

    devsim::RawMidiLink none;
    EXPECT_FALSE(none.Open(nullptr, 0, [](const uint8_t*, size_t) {}));
}

TEST(RawMidiLink, BytesThatTheDriverTookAndNoOneReadAreCountedAsLost) {
    Fifo fifo;
    ASSERT_TRUE(fifo.ok);
    devsim::RawMidiLink link;
    FifoPort* port = nullptr;
    std::atomic<size_t> handed{0};
    ASSERT_TRUE(link.Open(fifo.Open(&port), 0, [&](const uint8_t*, size_t n) { handed += n; }));
    ASSERT_TRUE(link.Write(Message(500)));
    ASSERT_TRUE(testsupport::WaitFor([&] { return handed.load() == 500; }));
    // Everything the driver took was read: nothing lost.
    EXPECT_EQ(link.Counts().Lost(), 0);
    // The driver took 120 bytes more than reached the reader, and says it dropped 100 of them.
    port->received = 120;
    port->dropped = 100;
    const devsim::RawMidiLink::Tally running = link.Counts();
    EXPECT_EQ(running.read, 500u);
    EXPECT_EQ(running.Lost(), 120);  // the larger of the two accounts
    link.Close();
    const devsim::RawMidiLink::Tally closed = link.Counts();  // taken while closing, kept
    EXPECT_EQ(closed.Lost(), 120);
    EXPECT_EQ(closed.Describe(), "620 bytes received by the driver, 100 dropped by it, 500 read");
}

TEST(RawMidiLink, OverrunsAloneCountAsLossWhenTheDriverDoesNotTellWhatItReceived) {
    Fifo fifo;
    ASSERT_TRUE(fifo.ok);
    devsim::RawMidiLink link;
    FifoPort* port = nullptr;
    ASSERT_TRUE(link.Open(fifo.Open(&port), 0, [](const uint8_t*, size_t) {}));
    port->received = -1;
    EXPECT_EQ(link.Counts().Lost(), 0);
    port->dropped = 7;
    link.Close();
    EXPECT_EQ(link.Counts().Lost(), 7);
    EXPECT_EQ(link.Counts().Describe(), "unknown bytes received by the driver, 7 dropped by it, 0 read");
}

TEST(RawMidiLink, BytesStillWaitingAtTheCloseAreCountedNotLost) {
    Fifo fifo;
    ASSERT_TRUE(fifo.ok);
    devsim::RawMidiLink link;
    FifoPort* port = nullptr;
    // A reader held to 1 byte per second leaves most of a message waiting in the FIFO.
    std::atomic<size_t> handed{0};
    ASSERT_TRUE(link.Open(fifo.Open(&port), 1, [&](const uint8_t*, size_t n) { handed += n; }));
    ASSERT_TRUE(link.Write(Message(300)));
    link.Close();
    const devsim::RawMidiLink::Tally tally = link.Counts();
    EXPECT_EQ(tally.read, handed.load());
    EXPECT_EQ(tally.read + tally.leftOver, 300u);
    EXPECT_GT(tally.leftOver, 0u);
    EXPECT_EQ(tally.Lost(), 0);
    EXPECT_NE(tally.Describe().find("left unread at the end"), std::string::npos);
}
