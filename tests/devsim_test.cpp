// The simulated device, driven directly with messages built here the way a host builds them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <thread>

#include "DeviceSimulator.h"
#include "DevsimHostSide.h"
#include "TestSupport.h"

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using devsim::DeviceSimulator;
using devsim::DeviceSimulatorConfig;
using namespace devsimtest;

namespace {

// Collects what the device sends, and when it went out; the test thread waits on it with a
// deadline.
class Host {
public:
    DeviceSimulator::SendFunction Sink() {
        return [this](const Bytes& m) {
            const auto now = std::chrono::steady_clock::now();
            std::lock_guard<std::mutex> lock(m_lock);
            m_received.push_back(m);
            m_times.push_back(now);
        };
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_received.size();
    }
    bool WaitForCount(size_t n, std::chrono::milliseconds timeout = 5000ms) {
        return testsupport::WaitFor([&] { return Count() >= n; }, timeout);
    }
    Bytes At(size_t i) {
        std::lock_guard<std::mutex> lock(m_lock);
        return i < m_received.size() ? m_received[i] : Bytes{};
    }
    // When message i went out (the epoch when there is none).
    std::chrono::steady_clock::time_point TimeAt(size_t i) {
        std::lock_guard<std::mutex> lock(m_lock);
        return i < m_times.size() ? m_times[i] : std::chrono::steady_clock::time_point{};
    }
    // Sends `message` and returns the next thing the device sends, or nothing after the timeout.
    Bytes Exchange(DeviceSimulator& device, const Bytes& message, std::chrono::milliseconds timeout = 5000ms) {
        const size_t before = Count();
        device.OnMessageFromHost(message.data(), message.size());
        return WaitForCount(before + 1, timeout) ? At(before) : Bytes{};
    }

private:
    std::mutex m_lock;
    std::vector<Bytes> m_received;
    std::vector<std::chrono::steady_clock::time_point> m_times;
};

// Block k of `image` as the host sends it (9216 bytes, the last one shorter).
Bytes ImageBlock(const Bytes& image, uint32_t k) {
    const uint32_t offset = k * 9216;
    return BuildBlock(devsim::IMAGE_BASE + offset, image.data() + offset,
                      std::min<uint32_t>(9216, devsim::IMAGE_BYTES - offset));
}

DeviceSimulatorConfig FastConfig() {
    DeviceSimulatorConfig c;
    c.answerDelayMax = 0ms;
    return c;
}

// Runs the update as the host does: erase, 36 blocks with up to 7 sends each, finish. Returns the
// number of block sends; fails the test on a missing or unexpected answer. With `finishAnswered`
// it also waits for the answer to FINISH.
int RunUpdate(DeviceSimulator& device, Host& host, const Bytes& image, bool finishAnswered = true) {
    EXPECT_EQ(host.Exchange(device, ERASE), Status(0));
    int sends = 0;
    for (uint32_t offset = 0; offset < devsim::IMAGE_BYTES;) {
        const uint32_t length = std::min<uint32_t>(9216, devsim::IMAGE_BYTES - offset);
        const Bytes block = BuildBlock(devsim::IMAGE_BASE + offset, image.data() + offset, length);
        Bytes answer;
        for (int send = 0; send < 7; ++send) {
            ++sends;
            answer = host.Exchange(device, block);
            if (answer.size() != 7 || answer[5] == 0) break;
        }
        if (answer != Status(0)) {
            ADD_FAILURE() << "block at offset " << offset << " not accepted";
            return sends;
        }
        offset += length;
    }
    if (finishAnswered)
        EXPECT_FALSE(host.Exchange(device, FINISH).empty());
    else
        device.OnMessageFromHost(FINISH.data(), FINISH.size());
    return sends;
}

}  // namespace

TEST(DeviceSimulatorEncoding, ChecksumAndUnpackingMatchTheWireFormat) {
    const char* digits = "123456789";
    EXPECT_EQ(devsim::Crc32Jam(reinterpret_cast<const uint8_t*>(digits), 9), 0x340BC6D9u);
    EXPECT_EQ(devsim::Crc32Jam(nullptr, 0), 0xFFFFFFFFu);

    const Bytes packed{0x53, 0x00, 0x01, 0x7F, 0x7F, 0x00, 0x01, 0x40, 0x00, 0x25};
    uint8_t raw[8] = {};
    ASSERT_TRUE(devsim::Unpack7Bit(raw, packed.data(), 8));
    EXPECT_EQ(Bytes(raw, raw + 8), (Bytes{0x80, 0x01, 0xFF, 0x7F, 0x00, 0x81, 0xC0, 0x25}));
    EXPECT_EQ(devsim::PackedSize(8), 10u);
    EXPECT_EQ(devsim::PackedSize(9216), 10533u);

    Bytes padded = packed;
    padded[8] = 0x01;  // a bit for a byte that the short last group does not carry
    EXPECT_FALSE(devsim::Unpack7Bit(raw, padded.data(), 8));
    Bytes high = packed;
    high[3] = 0xFF;
    EXPECT_FALSE(devsim::Unpack7Bit(raw, high.data(), 8));
}

TEST(DeviceSimulator, AnswersTheIdentityRequestWithItsModel) {
    Host host;
    DeviceSimulator device(FastConfig(), host.Sink());
    EXPECT_EQ(host.Exchange(device, IDENTITY_REQUEST),
              (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x6A, 0x00, 0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7}));
    const Bytes allCall{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    EXPECT_EQ(host.Exchange(device, allCall).at(6), 0x6A);
    const Bytes otherDevice{0xF0, 0x7E, 0x05, 0x06, 0x01, 0xF7};
    EXPECT_TRUE(host.Exchange(device, otherDevice, 100ms).empty());
    EXPECT_EQ(device.Summary().identityRequests, 2);

    Host host2;
    DeviceSimulatorConfig c = FastConfig();
    c.identityModel = 0x42;
    DeviceSimulator impostor(c, host2.Sink());
    EXPECT_EQ(host2.Exchange(impostor, IDENTITY_REQUEST).at(6), 0x42);
}

TEST(DeviceSimulator, CanSendALongMessageBeforeItsIdentityReplyAndTheReplyLater) {
    Host host;
    DeviceSimulatorConfig c = FastConfig();
    c.longMessageBytes = 12000;
    c.identityReplyDelay = 300ms;
    DeviceSimulator device(c, host.Sink());
    const auto sent = std::chrono::steady_clock::now();
    device.OnMessageFromHost(IDENTITY_REQUEST.data(), IDENTITY_REQUEST.size());
    ASSERT_TRUE(host.WaitForCount(2));
    const auto replied = std::chrono::steady_clock::now();
    const Bytes first = host.At(0);
    ASSERT_EQ(first.size(), 12000u);
    EXPECT_EQ(Bytes(first.begin(), first.begin() + 7), (Bytes{0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x00, 0x00}));
    EXPECT_EQ(first.back(), 0xF7);
    EXPECT_EQ(std::count(first.begin() + 1, first.end() - 1, 0x00), 12000 - 4) << "zeros but 7D and the model";
    EXPECT_EQ(host.At(1).at(4), 0x02) << "then the Identity Reply";
    EXPECT_GE(replied - sent, 300ms);
}

TEST(DeviceSimulator, AnswersEraseAfterItsDelayWithTheConfiguredStatus) {
    Host host;
    DeviceSimulatorConfig c = FastConfig();
    c.eraseDelay = 150ms;
    c.eraseStatus = 11;
    DeviceSimulator device(c, host.Sink());
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(host.Exchange(device, ERASE), Status(11));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 150ms);
    // Not in version-up mode: blocks are refused as out of sequence.
    const Bytes data(16, 0x11);
    EXPECT_EQ(host.Exchange(device, BuildBlock(devsim::IMAGE_BASE, data.data(), 16)), Status(3));
}

TEST(DeviceSimulator, AcceptsTheWorkedExampleBlockByItsGoldenBytes) {
    const Bytes golden{0xF0, 0x7D, 0x00, 0x6A, 0x02, 0x00, 0x00, 0x28, 0x00, 0x00, 0x08, 0x00, 0x53, 0x00,
                       0x01, 0x7F, 0x7F, 0x00, 0x01, 0x40, 0x00, 0x25, 0x14, 0x01, 0x78, 0x06, 0x09, 0xF7};
    const Bytes data{0x80, 0x01, 0xFF, 0x7F, 0x00, 0x81, 0xC0, 0x25};
    ASSERT_EQ(BuildBlock(devsim::IMAGE_BASE, data.data(), 8), golden) << "the test's own encoder";
    Host host;
    DeviceSimulator device(FastConfig(), host.Sink());
    host.Exchange(device, ERASE);
    EXPECT_EQ(host.Exchange(device, golden), Status(0));
    const Bytes received = device.Image();
    EXPECT_EQ(Bytes(received.begin(), received.begin() + 8), data);
    EXPECT_EQ(device.Summary().bytesReceived, 8u);
}

TEST(DeviceSimulator, ReassemblesAWholeUpdateOf36BlocksAndWritesTheImage) {
    const Bytes image = MakeImage(7);
    Host host;
    DeviceSimulatorConfig c;  // default answer delays 0-5 ms
    c.expectedImage = image;
    DeviceSimulator device(c, host.Sink());
    EXPECT_EQ(RunUpdate(device, host, image), 36);
    ASSERT_TRUE(device.WaitForCompletion(5000ms));

    const devsim::DeviceSummary s = device.Summary();
    EXPECT_EQ(s.blocksAccepted, 36);
    EXPECT_EQ(s.blocks.size(), 36u);
    EXPECT_EQ(s.blocks.rbegin()->first, 0xEEC00u);
    EXPECT_EQ(s.blocks.rbegin()->second.length, 5120u);
    EXPECT_EQ(s.updatesCompleted, 1);
    EXPECT_EQ(device.Image(), image);
    std::string line;
    EXPECT_TRUE(device.Verdict(&line)) << line;
    EXPECT_EQ(line, "PASS: image 327680 bytes received in 36 blocks (0 refused, 0 malformed), finish answered");

    const std::string path = testing::TempDir() + "devsim_image.bin";
    ASSERT_TRUE(device.WriteImage(path));
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), image);
    std::remove(path.c_str());
}

TEST(DeviceSimulator, RefusesMalformedBlocksWithTheirStatusAndStillAcceptsTheRightOne) {
    Host host;
    DeviceSimulator device(FastConfig(), host.Sink());
    const Bytes data = MakeImage(3);
    const Bytes good = BuildBlock(devsim::IMAGE_BASE, data.data(), 100);

    EXPECT_EQ(host.Exchange(device, good), Status(3)) << "before any ERASE";
    host.Exchange(device, ERASE);

    Bytes badCrc = good;
    badCrc[badCrc.size() - 3] ^= 0x01;
    EXPECT_EQ(host.Exchange(device, badCrc), Status(2));
    Bytes badData = good;
    badData[20] ^= 0x04;
    EXPECT_EQ(host.Exchange(device, badData), Status(2));
    EXPECT_EQ(host.Exchange(device, BuildBlock(devsim::IMAGE_BASE + 100, data.data(), 100)), Status(3));
    Bytes noEnd = good;
    noEnd.back() = 0x00;
    EXPECT_EQ(host.Exchange(device, noEnd), Status(4));
    Bytes truncated(good.begin(), good.end() - 2);
    truncated.push_back(0xF7);
    EXPECT_EQ(host.Exchange(device, truncated), Status(4));
    Bytes highBit = good;
    highBit[30] |= 0x80;
    EXPECT_EQ(host.Exchange(device, highBit), Status(4));
    const Bytes pastEnd = BuildBlock(devsim::IMAGE_END - 4, data.data(), 8);
    EXPECT_EQ(host.Exchange(device, pastEnd), Status(3));
    Bytes wrongModel = BuildBlock(devsim::IMAGE_BASE, data.data(), 100, 0x69);
    EXPECT_EQ(host.Exchange(device, wrongModel), Status(5));

    EXPECT_EQ(host.Exchange(device, good), Status(0));
    const devsim::DeviceSummary s = device.Summary();
    EXPECT_EQ(s.blocksAccepted, 1);
    EXPECT_EQ(s.blocksMalformed, 8);
    EXPECT_EQ(s.bytesReceived, 100u);
    std::string line;
    EXPECT_FALSE(device.Verdict(&line));
    EXPECT_NE(line.find("8 malformed blocks"), std::string::npos) << line;
}

TEST(DeviceSimulator, RefusesAScheduledBlockItsCountOfTimesThenAcceptsIt) {
    const Bytes image = MakeImage(11);
    Host host;
    DeviceSimulatorConfig c = FastConfig();
    c.refusals = {{3, 2, 1}, {35, 1, 11}};
    DeviceSimulator device(c, host.Sink());
    EXPECT_EQ(RunUpdate(device, host, image), 39);
    const devsim::DeviceSummary s = device.Summary();
    EXPECT_EQ(s.blocks.at(devsim::IMAGE_BASE + 3 * 9216).refused, 2);
    EXPECT_EQ(s.blocks.at(0xEEC00).refused, 1);
    EXPECT_EQ(s.blocks.at(0xEEC00).accepted, 1);
    EXPECT_EQ(device.Image(), image);
    std::string line;
    EXPECT_TRUE(device.Verdict(&line)) << line;
    EXPECT_NE(line.find("(3 refused, 0 malformed)"), std::string::npos) << line;

    // The schedule is used up: a second update goes through without refusals.
    EXPECT_EQ(RunUpdate(device, host, image), 36);
}

TEST(DeviceSimulator, DropsTheFirstAnswerToTheChosenBlockAndAcknowledgesItsRepeat) {
    const Bytes image = MakeImage(5);
    Host host;
    DeviceSimulatorConfig c = FastConfig();
    c.dropReplyBlock = 1;
    DeviceSimulator device(c, host.Sink());
    host.Exchange(device, ERASE);
    EXPECT_EQ(host.Exchange(device, BuildBlock(devsim::IMAGE_BASE, image.data(), 9216)), Status(0));
    EXPECT_TRUE(host.Exchange(device, BuildBlock(0xA2400, image.data() + 9216, 9216), 200ms).empty());
    EXPECT_EQ(device.Summary().messagesDropped, 1);
    // The block sent again is acknowledged again without moving on; the next block follows it.
    EXPECT_EQ(host.Exchange(device, BuildBlock(0xA2400, image.data() + 9216, 9216)), Status(0));
    EXPECT_EQ(host.Exchange(device, BuildBlock(0xA4800, image.data() + 18432, 9216)), Status(0));
    EXPECT_EQ(device.Summary().blocksRepeated, 1);
    EXPECT_EQ(device.Summary().blocksAccepted, 3);
    Bytes altered(image.begin() + 18432, image.begin() + 27648);
    altered[0] ^= 1;
    EXPECT_EQ(host.Exchange(device, BuildBlock(0xA4800, altered.data(), 9216)), Status(3))
        << "a different block at the last address is out of sequence";
    // A new update (the host starts over after its time-out) is answered throughout.
    EXPECT_EQ(RunUpdate(device, host, image), 36);
    std::string line;
    EXPECT_TRUE(device.Verdict(&line)) << line;
}

TEST(DeviceSimulator, MuteDeviceSendsNothingButStillCounts) {
    Host host;
    DeviceSimulatorConfig c = FastConfig();
    c.mute = true;
    DeviceSimulator device(c, host.Sink());
    EXPECT_TRUE(host.Exchange(device, IDENTITY_REQUEST, 100ms).empty());
    EXPECT_TRUE(host.Exchange(device, ERASE, 100ms).empty());
    const devsim::DeviceSummary s = device.Summary();
    EXPECT_EQ(s.identityRequests, 1);
    EXPECT_EQ(s.eraseRequests, 1);
    EXPECT_EQ(s.messagesDropped, 2);
    EXPECT_EQ(s.messagesSent, 0);
}

TEST(DeviceSimulator, AnswersFinishWithTheConfiguredStatusOrNotAtAll) {
    const Bytes image = MakeImage(9);
    {
        Host host;
        DeviceSimulatorConfig c = FastConfig();
        c.finishStatus = 3;
        DeviceSimulator device(c, host.Sink());
        RunUpdate(device, host, image);
        ASSERT_TRUE(host.WaitForCount(38));
        EXPECT_EQ(host.At(37), Status(3));
    }
    Host host;
    DeviceSimulatorConfig c = FastConfig();
    c.finishStatus.reset();
    DeviceSimulator device(c, host.Sink());
    RunUpdate(device, host, image, false);
    EXPECT_FALSE(host.WaitForCount(38, 200ms)) << "FINISH must stay unanswered";
    EXPECT_TRUE(device.WaitForCompletion(1000ms));
    std::string line;
    EXPECT_TRUE(device.Verdict(&line)) << line;
    EXPECT_NE(line.find("finish not answered (as configured)"), std::string::npos) << line;
}

TEST(DeviceSimulator, VerdictFailsWithoutFinishOrWithAnIncompleteImage) {
    const Bytes image = MakeImage(4);
    Host host;
    DeviceSimulator device(FastConfig(), host.Sink());
    std::string line;
    EXPECT_FALSE(device.Verdict(&line));
    EXPECT_EQ(line.rfind("FAIL: no ERASE received", 0), 0u) << line;
    host.Exchange(device, ERASE);
    host.Exchange(device, BuildBlock(devsim::IMAGE_BASE, image.data(), 9216));
    host.Exchange(device, FINISH);
    EXPECT_FALSE(device.Verdict(&line));
    EXPECT_NE(line.find("image incomplete: 9216 of 327680 bytes"), std::string::npos) << line;
    EXPECT_EQ(device.Summary().updatesCompleted, 0);
}

TEST(DeviceSimulator, PullsABlockAtStartAndChecksTheHostsAnswer) {
    const Bytes image = MakeImage(21);
    Host host;
    DeviceSimulatorConfig c = FastConfig();
    c.expectedImage = image;
    c.pulls = {{0xA0000, 16, devsim::Trigger::Start}};
    DeviceSimulator device(c, host.Sink());
    host.Exchange(device, IDENTITY_REQUEST);
    ASSERT_TRUE(host.WaitForCount(2));
    EXPECT_EQ(host.At(1), (Bytes{0xF0, 0x7D, 0x00, 0x6A, 0x03, 0x00, 0x00, 0x28, 0x00, 0x00, 0x10, 0x00, 0xF7}));

    const Bytes answer = BuildBlock(0xA0000, image.data(), 16);
    device.OnMessageFromHost(answer.data(), answer.size());
    ASSERT_TRUE(testsupport::WaitFor([&] { return device.Summary().pulls.at(0).answered; }));
    EXPECT_TRUE(device.Summary().pulls.at(0).ok) << device.Summary().pulls.at(0).result;
    EXPECT_EQ(host.Count(), 2u) << "a pulled block is not answered";
    RunUpdate(device, host, image);
    std::string line;
    EXPECT_TRUE(device.Verdict(&line)) << line;
    EXPECT_NE(line.find("1 pulled blocks checked"), std::string::npos) << line;

    // A wrong byte in the host's answer fails the pull.
    ASSERT_TRUE(device.RequestBlock(0xA0010, 16));
    Bytes wrong(image.begin() + 16, image.begin() + 32);
    wrong[5] ^= 0xFF;
    const Bytes bad = BuildBlock(0xA0010, wrong.data(), 16);
    device.OnMessageFromHost(bad.data(), bad.size());
    ASSERT_TRUE(testsupport::WaitFor([&] { return device.Summary().pulls.at(1).answered; }));
    EXPECT_FALSE(device.Summary().pulls.at(1).ok);
    EXPECT_FALSE(device.Verdict(&line));
    EXPECT_NE(line.find("bytes differ from the image at 0xA0015"), std::string::npos) << line;
    EXPECT_FALSE(device.RequestBlock(0xA0000, 16384));
}

TEST(DeviceSimulator, AcceptsARefusalOrACutBlockForAPullOutsideTheImage) {
    const Bytes image = MakeImage(2);
    Host host;
    DeviceSimulatorConfig c = FastConfig();
    c.expectedImage = image;
    DeviceSimulator device(c, host.Sink());
    ASSERT_TRUE(device.RequestBlock(0xEFFF0, 32));
    host.Exchange(device, Status(1), 100ms);
    ASSERT_TRUE(device.RequestBlock(0xEFFF0, 32));
    const Bytes cut = BuildBlock(0xEFFF0, image.data() + devsim::IMAGE_BYTES - 16, 16);
    device.OnMessageFromHost(cut.data(), cut.size());
    ASSERT_TRUE(device.RequestBlock(0xEFFF0, 32));
    const Bytes beyond(32, 0x00);
    const Bytes overrun = BuildBlock(0xEFFF0, beyond.data(), 32);
    device.OnMessageFromHost(overrun.data(), overrun.size());

    ASSERT_TRUE(testsupport::WaitFor([&] { return device.Summary().pulls.size() == 3 && device.Summary().pulls[2].answered; }));
    const auto pulls = device.Summary().pulls;
    EXPECT_TRUE(pulls[0].ok) << pulls[0].result;
    EXPECT_TRUE(pulls[1].ok) << pulls[1].result;
    EXPECT_FALSE(pulls[2].ok);
    EXPECT_NE(pulls[2].result.find("outside the image"), std::string::npos) << pulls[2].result;
}

TEST(DeviceSimulator, AsksTheHostsIdentityAfterFinishAndRecordsTheReply) {
    const Bytes image = MakeImage(8);
    Host host;
    DeviceSimulatorConfig c = FastConfig();
    c.askIdentity = devsim::Trigger::End;
    DeviceSimulator device(c, host.Sink());
    RunUpdate(device, host, image);
    ASSERT_TRUE(host.WaitForCount(39));
    EXPECT_EQ(host.At(38), (Bytes{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}));
    EXPECT_FALSE(device.Complete()) << "the host's identity is still outstanding";
    const Bytes reply{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x6A, 0x00, 0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7};
    device.OnMessageFromHost(reply.data(), reply.size());
    EXPECT_TRUE(device.WaitForCompletion(5000ms));
    std::string line;
    EXPECT_TRUE(device.Verdict(&line)) << line;
    EXPECT_NE(line.find("host identity received"), std::string::npos);
    EXPECT_EQ(device.Summary().lastHostIdentityReply, reply);

    const Bytes shortReply{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x6A, 0xF7};
    device.OnMessageFromHost(shortReply.data(), shortReply.size());
    EXPECT_FALSE(device.Verdict(&line));
    EXPECT_NE(line.find("malformed host Identity Reply"), std::string::npos) << line;
}

TEST(DeviceSimulator, CountsGarbageAndFragmentsWithoutAnsweringOrCrashing) {
    Host host;
    DeviceSimulatorConfig c = FastConfig();
    DeviceSimulator device(c, host.Sink());
    const std::vector<Bytes> garbage{{}, {0xF7}, {0x90, 0x40, 0x7F}, {0xF0}, {0xF0, 0x7D, 0x00},
                                     {0x12, 0x34, 0x56, 0xF7}, {0xF0, 0x43, 0x10, 0x4C, 0x00, 0xF7},
                                     {0xF0, 0x7E, 0x00, 0x07, 0x01, 0xF7}};
    for (const Bytes& g : garbage) device.OnMessageFromHost(g.data(), g.size());
    device.OnMessageFromHost(nullptr, 12);
    EXPECT_FALSE(host.WaitForCount(1, 100ms));
    EXPECT_EQ(device.Summary().garbage, 9);

    // Random messages, many of them shaped like the protocol: no crash, and counts stay sane.
    std::mt19937 rng(1234);
    for (int i = 0; i < 3000; ++i) {
        Bytes m(rng() % 40);
        for (auto& b : m) b = static_cast<uint8_t>(rng() & (rng() % 3 ? 0x7F : 0xFF));
        if (m.size() > 4 && rng() % 2) {
            m[0] = 0xF0;
            m[1] = 0x7D;
            m[3] = MODEL;
            m[4] = static_cast<uint8_t>(rng() % 8);
        }
        device.OnMessageFromHost(m.data(), m.size());
    }
    const devsim::DeviceSummary s = device.Summary();
    EXPECT_LE(s.bytesReceived, devsim::IMAGE_BYTES);
    EXPECT_GT(s.garbage + s.unexpected + s.blocksMalformed, 9);
}

TEST(DeviceSimulator, KeepsAnswersInOrderAndNeverSendsOnTheCallersThread) {
    const Bytes image = MakeImage(6);
    std::mutex lock;
    std::vector<Bytes> received;
    std::atomic<bool> sentOnCaller{false};
    std::thread::id caller = std::this_thread::get_id();
    DeviceSimulatorConfig c;
    c.answerDelayMin = 0ms;
    c.answerDelayMax = 20ms;
    DeviceSimulator device(c, [&](const Bytes& m) {
        if (std::this_thread::get_id() == caller) sentOnCaller = true;
        std::lock_guard<std::mutex> g(lock);
        received.push_back(m);
    });
    device.OnMessageFromHost(IDENTITY_REQUEST.data(), IDENTITY_REQUEST.size());
    device.OnMessageFromHost(ERASE.data(), ERASE.size());
    Bytes badCrc = BuildBlock(devsim::IMAGE_BASE, image.data(), 50);
    badCrc[badCrc.size() - 2] ^= 1;
    device.OnMessageFromHost(badCrc.data(), badCrc.size());
    const Bytes good = BuildBlock(devsim::IMAGE_BASE, image.data(), 50);
    device.OnMessageFromHost(good.data(), good.size());
    ASSERT_TRUE(testsupport::WaitFor([&] {
        std::lock_guard<std::mutex> g(lock);
        return received.size() == 4;
    }));
    std::lock_guard<std::mutex> g(lock);
    EXPECT_EQ(received[0].at(4), 0x02) << "Identity Reply first";
    EXPECT_EQ(received[1], Status(0));
    EXPECT_EQ(received[2], Status(2));
    EXPECT_EQ(received[3], Status(0));
    EXPECT_FALSE(sentOnCaller.load());
}

TEST(DeviceSimulator, ServesConcurrentCallersAndALoopbackThatAnswersFromTheSendFunction) {
    // The send function answers the device at once from the worker thread, as a synchronous
    // loopback host would, while other threads feed identity requests: meaningful under TSan.
    const Bytes image = MakeImage(13);
    DeviceSimulatorConfig c = FastConfig();
    c.expectedImage = image;
    c.askIdentity = devsim::Trigger::Start;
    c.pulls = {{0xA0100, 64, devsim::Trigger::Start}};
    DeviceSimulator* self = nullptr;
    std::atomic<int> sent{0};
    DeviceSimulator device(c, [&](const Bytes& m) {
        ++sent;
        if (m.size() == 13 && m[4] == 0x03) {
            const Bytes answer = BuildBlock(0xA0100, image.data() + 0x100, 64);
            self->OnMessageFromHost(answer.data(), answer.size());
        } else if (m.size() == 6 && m[1] == 0x7E) {
            const Bytes reply{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x00, 0x00, 0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7};
            self->OnMessageFromHost(reply.data(), reply.size());
        }
    });
    self = &device;
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                device.OnMessageFromHost(IDENTITY_REQUEST.data(), IDENTITY_REQUEST.size());
                (void)device.Summary();
            }
        });
    for (auto& t : callers) t.join();
    ASSERT_TRUE(testsupport::WaitFor([&] { return sent.load() >= 202; }));
    const devsim::DeviceSummary s = device.Summary();
    EXPECT_EQ(s.identityRequests, 200);
    EXPECT_EQ(s.hostIdentityReplies, 1);
    ASSERT_EQ(s.pulls.size(), 1u);
    EXPECT_TRUE(s.pulls[0].ok) << s.pulls[0].result;
}

TEST(DeviceSimulator, StopJoinsPromptlyWithAnAnswerStillDue) {
    Host host;
    DeviceSimulatorConfig c = FastConfig();
    c.eraseDelay = 60000ms;
    auto device = std::make_unique<DeviceSimulator>(c, host.Sink());
    device->OnMessageFromHost(ERASE.data(), ERASE.size());
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        device->Stop();
        device->Stop();  // idempotent
        stopped = true;
    });
    EXPECT_TRUE(testsupport::WaitFor([&] { return stopped.load(); }, 2000ms));
    stopper.join();
    EXPECT_EQ(host.Count(), 0u) << "a queued answer is dropped by Stop";
    device->OnMessageFromHost(ERASE.data(), ERASE.size());  // after Stop: counted, nothing sent
    EXPECT_EQ(device->Summary().eraseRequests, 2);
    device.reset();
}

TEST(DeviceSimulator, SendsABurstAfterTheChosenBlockAndTakesOnlyAnswersInTheirOrder) {
    const Bytes image = MakeImage(9);
    const Bytes hostStatus1{0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x01, 0xF7};
    const Bytes hostIdentity{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x6A, 0x00, 0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7};
    for (const bool inOrder : {true, false}) {
        SCOPED_TRACE(inOrder ? "answers in order" : "an answer out of its turn");
        Host host;
        DeviceSimulatorConfig c = FastConfig();
        c.burstAfterBlock = 1;
        c.burstCount = 6;
        DeviceSimulator device(c, host.Sink());
        ASSERT_EQ(host.Exchange(device, ERASE), Status(0));
        for (uint32_t k = 0; k < 2; ++k) {
            const Bytes block = BuildBlock(devsim::IMAGE_BASE + k * 9216, image.data() + k * 9216, 9216);
            ASSERT_EQ(host.Exchange(device, block), Status(0));
        }
        // The burst follows the answer to block 1: two unknown requests, an Identity Request, ...
        ASSERT_TRUE(host.WaitForCount(9));
        const Bytes unknown{0xF0, 0x7D, 0x00, 0x6A, 0x40, 0xF7};
        const Bytes identityRequest{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
        const std::vector<Bytes> burst{unknown, unknown, identityRequest, unknown, unknown, identityRequest};
        for (size_t i = 0; i < burst.size(); ++i) EXPECT_EQ(host.At(3 + i), burst[i]) << "request " << i;
        EXPECT_EQ(device.Summary().burstSent, 6);

        const std::vector<Bytes> answers = inOrder
            ? std::vector<Bytes>{hostStatus1, hostStatus1, hostIdentity, hostStatus1, hostStatus1, hostIdentity}
            : std::vector<Bytes>{hostStatus1, hostIdentity, hostStatus1, hostStatus1, hostStatus1, hostIdentity};
        for (const Bytes& a : answers) device.OnMessageFromHost(a.data(), a.size());
        const devsim::DeviceSummary s = device.Summary();
        EXPECT_EQ(s.burstInOrder, inOrder);
        EXPECT_EQ(s.burstAnswered, inOrder ? 6 : 3);  // the stray answers are not counted
        EXPECT_EQ(s.burstAnswerMs >= 0, inOrder);
        std::string line;
        EXPECT_FALSE(device.Verdict(&line));  // no FINISH yet
        EXPECT_EQ(line.find("burst:") != std::string::npos, !inOrder) << line;
    }
}

// The faults of a device whose answers a host may take for the wrong message: a slow flash write,
// an answer sent twice, a device that stores blocks wherever they say.

TEST(DeviceSimulatorFaults, ASlowDeviceAnswersABlockItsDelayAfterBeginningItAndTakesMessagesInTurn) {
    const Bytes image = MakeImage(31);
    Host host;
    DeviceSimulatorConfig c = FastConfig();
    c.blockAnswerDelay = 600ms;
    c.refusals = {{1, 1, 1}};
    DeviceSimulator device(c, host.Sink());
    const Bytes block0 = ImageBlock(image, 0);
    const Bytes block1 = ImageBlock(image, 1);
    // All four arrive at once: each is begun when the one before it is done.
    const auto sent = std::chrono::steady_clock::now();
    for (const Bytes* m : {&ERASE, &block0, &block1, &IDENTITY_REQUEST}) device.OnMessageFromHost(m->data(), m->size());
    ASSERT_TRUE(host.WaitForCount(4, 10000ms));
    EXPECT_EQ(host.At(0), Status(0)) << "ERASE";
    EXPECT_EQ(host.At(1), Status(0)) << "block 0";
    EXPECT_EQ(host.At(2), Status(1)) << "block 1, refused as scheduled";
    EXPECT_EQ(host.At(3).at(4), 0x02) << "the Identity Reply last";
    EXPECT_LT(host.TimeAt(0) - sent, 600ms) << "ERASE is answered as any message, not as a block";
    EXPECT_GE(host.TimeAt(1) - sent, 600ms);
    EXPECT_GE(host.TimeAt(2) - sent, 1200ms) << "block 1 is begun when block 0 is done";
    EXPECT_GE(host.TimeAt(3) - sent, 1200ms) << "the Identity Request waits for block 1";

    // A block sent again after its refusal is answered its delay after it arrived.
    const auto again = std::chrono::steady_clock::now();
    EXPECT_EQ(host.Exchange(device, block1), Status(0));
    EXPECT_GE(host.TimeAt(4) - again, 600ms);
    EXPECT_EQ(device.Summary().blocksAccepted, 2);
    EXPECT_EQ(device.Summary().answersRepeated, 0);
}

TEST(DeviceSimulatorFaults, AnAnswerSentTwiceGoesOutItsDelayAfterTheFirstAheadOfAnswersDueLater) {
    const Bytes image = MakeImage(32);
    Host host;
    DeviceSimulatorConfig c = FastConfig();
    c.blockAnswerDelay = 1000ms;
    c.refusals = {{0, 1, 1}};
    c.repeats = {{-1, 300ms}, {0, 200ms}};
    DeviceSimulator device(c, host.Sink());
    const Bytes block0 = ImageBlock(image, 0);
    const auto sent = std::chrono::steady_clock::now();
    device.OnMessageFromHost(ERASE.data(), ERASE.size());
    device.OnMessageFromHost(block0.data(), block0.size());
    ASSERT_TRUE(host.WaitForCount(3, 10000ms));
    EXPECT_EQ(host.At(0), Status(0)) << "ERASE";
    EXPECT_EQ(host.At(1), Status(0)) << "ERASE again, before the answer to block 0 that was queued first";
    EXPECT_EQ(host.At(2), Status(1)) << "block 0, refused";
    EXPECT_GE(host.TimeAt(1) - host.TimeAt(0), 300ms);
    EXPECT_GE(host.TimeAt(2) - sent, 1000ms);

    // The host sends block 0 again at once; the refusal of its first send comes a second time
    // meanwhile, and only then the answer to the block sent again.
    device.OnMessageFromHost(block0.data(), block0.size());
    ASSERT_TRUE(host.WaitForCount(5, 10000ms));
    EXPECT_EQ(host.At(3), Status(1)) << "the refusal of block 0 again";
    EXPECT_EQ(host.At(4), Status(0)) << "block 0 accepted";
    EXPECT_GE(host.TimeAt(3) - host.TimeAt(2), 200ms);
    EXPECT_GE(host.TimeAt(4) - host.TimeAt(2), 1000ms);

    // Each rule is used once: a second ERASE is answered once.
    EXPECT_EQ(host.Exchange(device, ERASE), Status(0));
    EXPECT_FALSE(host.WaitForCount(7, 600ms)) << "no second repeat of ERASE";
    const devsim::DeviceSummary s = device.Summary();
    EXPECT_EQ(s.answersRepeated, 2);
    EXPECT_EQ(s.messagesSent, 6);
    std::string line;
    EXPECT_FALSE(device.Verdict(&line));
    EXPECT_NE(line.find("2 answers sent twice)"), std::string::npos) << line;
}

TEST(DeviceSimulatorFaults, ARepeatedAnswerIsSentOnlyOnceItsFirstWentOutAndNotAfterStop) {
    Host host;
    DeviceSimulatorConfig c = FastConfig();
    c.eraseDelay = 200ms;
    c.repeats = {{-1, 100ms}};
    auto device = std::make_unique<DeviceSimulator>(c, host.Sink());
    const auto sent = std::chrono::steady_clock::now();
    device->OnMessageFromHost(ERASE.data(), ERASE.size());
    ASSERT_TRUE(host.WaitForCount(2));
    EXPECT_GE(host.TimeAt(0) - sent, 200ms);
    EXPECT_GE(host.TimeAt(1) - host.TimeAt(0), 100ms) << "counted from when the first went out";
    EXPECT_EQ(host.At(1), Status(0));

    // Stopped before its first answer went out: neither goes.
    Host quiet;
    DeviceSimulatorConfig slow = FastConfig();
    slow.eraseDelay = 60000ms;
    slow.repeats = {{-1, 0ms}};
    DeviceSimulator stopped(slow, quiet.Sink());
    stopped.OnMessageFromHost(ERASE.data(), ERASE.size());
    stopped.Stop();
    EXPECT_EQ(quiet.Count(), 0u);
    EXPECT_EQ(stopped.Summary().answersRepeated, 0);
}

TEST(DeviceSimulatorFaults, ADeviceThatStoresAtTheAddressTakesBlocksInAnyOrderAndIsJudgedByWhatItStored) {
    const Bytes image = MakeImage(17);
    Host host;
    DeviceSimulatorConfig c = FastConfig();
    c.storeAtAddress = true;
    c.expectedImage = image;
    c.refusals = {{2, 1, 1}};
    c.repeats = {{3, 50ms}};
    DeviceSimulator device(c, host.Sink());
    ASSERT_EQ(host.Exchange(device, ERASE), Status(0));
    EXPECT_EQ(host.Exchange(device, ImageBlock(image, 3)), Status(0)) << "block 3 first, stored at its address";
    ASSERT_TRUE(host.WaitForCount(3));
    EXPECT_EQ(host.At(2), Status(0)) << "the answer to block 3 sent twice";
    EXPECT_EQ(host.Exchange(device, ImageBlock(image, 2)), Status(1)) << "refused by its address index";
    EXPECT_EQ(host.Exchange(device, ImageBlock(image, 2)), Status(0));
    EXPECT_EQ(host.Exchange(device, ImageBlock(image, 3)), Status(0)) << "written again";
    for (uint32_t k = 0; k < 36; ++k) {
        if (k == 2 || k == 3 || k == 5) continue;
        ASSERT_EQ(host.Exchange(device, ImageBlock(image, k)), Status(0)) << k;
    }
    EXPECT_EQ(host.Exchange(device, FINISH), Status(0));
    std::string line;
    EXPECT_FALSE(device.Verdict(&line));
    EXPECT_NE(line.find("image incomplete: 318464 of 327680 bytes"), std::string::npos) << line;
    const Bytes partial = device.Image();
    EXPECT_TRUE(std::all_of(partial.begin() + 5 * 9216, partial.begin() + 6 * 9216, [](uint8_t b) { return b == 0xFF; }))
        << "nothing written where block 5 belongs";

    EXPECT_EQ(host.Exchange(device, ImageBlock(image, 5)), Status(0));
    EXPECT_EQ(host.Exchange(device, FINISH), Status(0));
    EXPECT_TRUE(device.Verdict(&line)) << line;
    EXPECT_EQ(line, "PASS: image 327680 bytes received in 36 blocks (1 refused, 0 malformed, 1 repeated), "
                    "finish answered, 1 answer sent twice");
    EXPECT_EQ(device.Image(), image);

    // Any block wholly inside the image is written where it says, even one that is not at a
    // block's start; one that reaches past the image is refused.
    EXPECT_EQ(host.Exchange(device, BuildBlock(devsim::IMAGE_BASE + 16, image.data() + 16, 16)), Status(0));
    EXPECT_EQ(host.Exchange(device, BuildBlock(devsim::IMAGE_END - 8, image.data(), 16)), Status(3));
    Bytes altered(image.begin() + 4 * 9216, image.begin() + 5 * 9216);
    altered[10] ^= 0x55;
    EXPECT_EQ(host.Exchange(device, BuildBlock(devsim::IMAGE_BASE + 4 * 9216, altered.data(), 9216)), Status(0));
    EXPECT_FALSE(device.Verdict(&line));
    EXPECT_NE(line.find("image differs from the expected one at 0xA900A"), std::string::npos) << line;
}

// The schedule on its own: its timing computed from given moments, without threads or waits.

namespace {
using devsim::FaultSchedule;
using Answer = FaultSchedule::Answer;
const auto T0 = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
}  // namespace

TEST(FaultSchedule, ASlowDeviceBeginsEachMessageOnceTheBlockBeforeIsDone) {
    DeviceSimulatorConfig c = FastConfig();
    c.blockAnswerDelay = 150ms;
    c.eraseDelay = 40ms;
    FaultSchedule f(c);
    // ERASE: answered after its own delay; the device is not busy with it.
    ASSERT_EQ(f.Begin(T0), T0);
    EXPECT_EQ(f.AnswerDue(T0, Answer::Erase), T0 + 40ms);
    // Block 0 arrives at +50: begun at once, answered 150 ms later.
    const auto block0 = f.Begin(T0 + 50ms);
    EXPECT_EQ(block0, T0 + 50ms);
    f.BeginBlock(block0);
    EXPECT_EQ(f.AnswerDue(block0, Answer::Block), T0 + 200ms);
    // An Identity Request at +60 is begun when block 0 is done, and answered then.
    const auto identity = f.Begin(T0 + 60ms);
    EXPECT_EQ(identity, T0 + 200ms);
    EXPECT_EQ(f.AnswerDue(identity, Answer::IdentityReply), T0 + 200ms);
    // Block 1 at +70 is begun then too (the Identity Request took no time) and answered at +350.
    const auto block1 = f.Begin(T0 + 70ms);
    EXPECT_EQ(block1, T0 + 200ms);
    f.BeginBlock(block1);
    EXPECT_EQ(f.AnswerDue(block1, Answer::Block), T0 + 350ms);
    // Idle again: a message is begun as it arrives.
    EXPECT_EQ(f.Begin(T0 + 400ms), T0 + 400ms);
}

TEST(FaultSchedule, AnswersComeAfterTheirDrawnDelayAndNeverBeforeOneScheduledEarlier) {
    DeviceSimulatorConfig c;
    c.answerDelayMin = 9ms;  // given the wrong way round: the range is still 3..9
    c.answerDelayMax = 3ms;
    c.finishDelay = 500ms;
    FaultSchedule f(c);
    for (int i = 0; i < 50; ++i) {
        const auto begin = T0 + std::chrono::seconds(i);
        const auto due = f.AnswerDue(begin, i % 2 ? Answer::Block : Answer::Plain);  // no block delay: drawn
        EXPECT_GE(due - begin, 3ms);
        EXPECT_LE(due - begin, 9ms);
    }
    const auto finish = f.AnswerDue(T0 + 100s, Answer::Finish);
    EXPECT_GE(finish - (T0 + 100s), 503ms);
    EXPECT_EQ(f.AnswerDue(T0 + 100s + 10ms, Answer::Plain), finish) << "an answer due earlier waits for FINISH's";
    EXPECT_EQ(f.Begin(T0 + 100s + 20ms), T0 + 100s + 20ms) << "a FINISH delay does not keep the device busy";
}

TEST(FaultSchedule, EachRuleIsUsedUpAsConfiguredAndOnlyForItsBlock) {
    DeviceSimulatorConfig c;
    c.refusals = {{3, 2, 1}, {5, 1, 11}};
    c.repeats = {{-1, 70ms}, {0, 30ms}};
    c.dropReplyBlock = 4;
    c.burstAfterBlock = 2;
    c.burstCount = 5;
    c.askIdentity = devsim::Trigger::End;
    FaultSchedule f(c);

    EXPECT_FALSE(f.TakeRefusal(4));
    auto refusal = f.TakeRefusal(3);
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->status, 1);
    EXPECT_EQ(refusal->left, 1);
    EXPECT_EQ(f.TakeRefusal(3)->left, 0);
    EXPECT_FALSE(f.TakeRefusal(3));
    EXPECT_EQ(f.TakeRefusal(5)->status, 11);

    EXPECT_FALSE(f.TakeRepeat(1));
    EXPECT_EQ(f.TakeRepeat(FaultSchedule::ERASE), 70ms);
    EXPECT_FALSE(f.TakeRepeat(FaultSchedule::ERASE));
    EXPECT_EQ(f.TakeRepeat(0), 30ms);
    EXPECT_FALSE(f.TakeRepeat(0));
    EXPECT_FALSE(f.TakeRepeat(FaultSchedule::UNKNOWN_BLOCK));

    EXPECT_FALSE(f.TakeDrop(3));
    EXPECT_TRUE(f.TakeDrop(4));
    EXPECT_FALSE(f.TakeDrop(4));

    EXPECT_EQ(f.TakeBurst(1), 0);
    EXPECT_EQ(f.TakeBurst(2), 5);
    EXPECT_EQ(f.TakeBurst(2), 0);
    using Request = FaultSchedule::Request;
    const std::vector<Request> order{Request::Unknown, Request::Unknown, Request::Identity, Request::Unknown,
                                     Request::Unknown, Request::Identity};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(FaultSchedule::BurstRequest(i), order[static_cast<size_t>(i)]) << i;

    EXPECT_TRUE(f.TakeStart());
    EXPECT_FALSE(f.TakeStart());
    EXPECT_FALSE(f.TakeIdentityAsk(devsim::Trigger::Start));
    EXPECT_TRUE(f.TakeIdentityAsk(devsim::Trigger::End));
    EXPECT_FALSE(f.TakeIdentityAsk(devsim::Trigger::End));
}

TEST(FaultSchedule, BlocksAreIndexedByTheSequenceOrWhenStoredAtTheirAddressByIt) {
    DeviceSimulatorConfig c;
    const FaultSchedule sequence(c);
    EXPECT_EQ(sequence.BlockIndex(7, 0xA0000u), 7);
    EXPECT_EQ(sequence.BlockIndex(7, std::nullopt), 7);

    c.storeAtAddress = true;
    const FaultSchedule atAddress(c);
    EXPECT_EQ(atAddress.BlockIndex(7, 0xA0000u), 0);
    EXPECT_EQ(atAddress.BlockIndex(0, 0xA0000u + 3 * 9216), 3);
    EXPECT_EQ(atAddress.BlockIndex(0, 0xA0000u + 3 * 9216 + 100), 3);
    EXPECT_EQ(atAddress.BlockIndex(0, 0xEEC00u), 35);
    EXPECT_EQ(atAddress.BlockIndex(0, 0x9FFFFu), FaultSchedule::UNKNOWN_BLOCK);
    EXPECT_EQ(atAddress.BlockIndex(0, std::nullopt), FaultSchedule::UNKNOWN_BLOCK);
}

TEST(DeviceSimulatorFaults, ADeviceThatRepeatsEveryAnswerSendsEachTwiceAndOneWithoutIdentitySendsAStatus) {
    Host host;
    DeviceSimulatorConfig c = FastConfig();
    c.repeats = {{devsim::FaultSchedule::EVERY, 2ms}};
    DeviceSimulator device(c, host.Sink());
    device.OnMessageFromHost(ERASE.data(), ERASE.size());
    device.OnMessageFromHost(ERASE.data(), ERASE.size());
    ASSERT_TRUE(host.WaitForCount(4));
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(host.At(i), Status(0)) << i;
    EXPECT_EQ(device.Summary().answersRepeated, 2) << "the rule for every answer is never used up";

    Host asked;
    DeviceSimulatorConfig silent = FastConfig();
    silent.identityStatus = 3;
    DeviceSimulator anonymous(silent, asked.Sink());
    anonymous.OnMessageFromHost(IDENTITY_REQUEST.data(), IDENTITY_REQUEST.size());
    ASSERT_TRUE(asked.WaitForCount(1));
    EXPECT_EQ(asked.At(0), Status(3));
    EXPECT_FALSE(asked.WaitForCount(2, 300ms)) << "no Identity Reply behind it";
}
