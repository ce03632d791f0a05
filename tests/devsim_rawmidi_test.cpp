// The simulator's raw MIDI side: cutting a cable's byte stream into SysEx messages, and the link
// that reads and writes a character device (here a FIFO, which hands back what is written to it).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

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

TEST(RawMidiLink, OpensWritesReadsBackAndClosesOnACharacterStream) {
    const std::string path = ::testing::TempDir() + "rawmidi-fifo-" + std::to_string(::getpid());
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    std::mutex lock;
    Bytes received;  // guarded by lock
    devsim::RawMidiLink link;
    std::string error;
    ASSERT_TRUE(link.Open(path, 100000, [&](const uint8_t* d, size_t n) {
        std::lock_guard<std::mutex> g(lock);
        received.insert(received.end(), d, d + n);
    }, &error)) << error;
    Bytes message(1000);
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i % 128);
    message.front() = 0xF0;
    message.back() = 0xF7;
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
    ::unlink(path.c_str());

    std::string missing;
    devsim::RawMidiLink none;
    EXPECT_FALSE(none.Open(path + "-absent", 0, [](const uint8_t*, size_t) {}, &missing));
    EXPECT_NE(missing.find("can't open"), std::string::npos);
}
