#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <limits>
#include <thread>
#include <vector>

#include "FakeMidiOut.h"
#include "platform/loopback/LoopbackMidiOut.h"
#include "TestSupport.h"
#include "Unpack7Bit.h"
#include "UpdateEngine.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testsupport::FakeMidiOut;

class SendPath : public ::testing::Test {
protected:
    void TearDown() override {
        g_modelId = g_acceptedModels[0];
        SetIdentityReplyModel(0x00);
    }

    // The bytes of every message sent so far.
    std::vector<Bytes> Sent() const {
        std::vector<Bytes> out;
        for (const auto& m : out_.Sent()) out.push_back(m.bytes);
        return out;
    }
    Bytes Last() const {
        const auto sent = out_.Sent();
        return sent.empty() ? Bytes{} : sent.back().bytes;
    }

    FakeMidiOut out_;
    HeadlessHost host_;
    CUpdateEngine engine_{host_, EnginePlatform{&out_, nullptr, nullptr}};
};

// Runs `a` and `b` on two threads that start together; fails the whole run instead of hanging
// when they do not finish.
void RunTogether(const std::function<void()>& a, const std::function<void()>& b) {
    std::atomic<int> ready{0};
    std::atomic<int> done{0};
    auto body = [&](const std::function<void()>& f) {
        ++ready;
        while (ready.load() < 2) std::this_thread::yield();
        f();
        ++done;
    };
    std::thread ta(body, std::cref(a));
    std::thread tb(body, std::cref(b));
    if (!testsupport::WaitFor([&] { return done.load() == 2; }, std::chrono::seconds(20))) {
        ADD_FAILURE() << "concurrent sends did not finish: deadlock";
        std::abort();
    }
    ta.join();
    tb.join();
}

}  // namespace

TEST_F(SendPath, BlockOfTheEightExampleBytesIsTheTwentyEightByteMessage) {
    std::vector<std::uint8_t> image(IMAGE_SIZE, 0x00);
    const std::uint8_t head[] = {0x80, 0x01, 0xFF, 0x7F, 0x00, 0x81, 0xC0, 0x25};
    std::copy(std::begin(head), std::end(head), image.begin());
    CUpdateEngine engine(host_, EnginePlatform{&out_, nullptr, nullptr}, image.data());

    EXPECT_EQ(engine.SendDataBlock(0x6A, 0xA0000, 8), 0);
    EXPECT_EQ(Last(), (Bytes{0xF0, 0x7D, 0x00, 0x6A, 0x02,
                             0x00, 0x00, 0x28, 0x00, 0x00,
                             0x08, 0x00,
                             0x53, 0x00, 0x01, 0x7F, 0x7F, 0x00, 0x01, 0x40, 0x00, 0x25,
                             0x14, 0x01, 0x78, 0x06, 0x09,
                             0xF7}));
}

TEST_F(SendPath, FullBlockIs10551BytesCarryingItsImageBytesAndTheirChecksum) {
    const std::uint8_t* image = LoadFirmwareImage();
    ASSERT_EQ(engine_.SendDataBlock(0x69, 0xA2400, 9216), 0);
    const Bytes m = Last();
    ASSERT_EQ(m.size(), 10551u);
    EXPECT_EQ(Bytes(m.begin(), m.begin() + 12),
              (Bytes{0xF0, 0x7D, 0x00, 0x69, 0x02, 0x00, 0x48, 0x28, 0x00, 0x00, 0x00, 0x48}));
    EXPECT_EQ(testsupport::Unpack7Bit(m.data() + 12, 10533), Bytes(image + 9216, image + 2 * 9216));
    EXPECT_EQ(Read7BitGroups(m.data() + 12 + 10533, 5), Crc32Compute(image + 9216, 9216));
    EXPECT_EQ(m.back(), 0xF7);
    EXPECT_TRUE(std::all_of(m.begin() + 1, m.end() - 1, [](std::uint8_t b) { return b < 0x80; }));
}

TEST_F(SendPath, BlockLengthsAtTheEdgesGiveTheirWireLengths) {
    const std::uint8_t* image = LoadFirmwareImage();
    ASSERT_EQ(engine_.SendDataBlock(0x6A, 0xF0000 - 16383, 16383), 0);
    EXPECT_EQ(Last().size(), 18742u);
    EXPECT_EQ(Last()[10], 0x7F);
    EXPECT_EQ(Last()[11], 0x7F);

    ASSERT_EQ(engine_.SendDataBlock(0x6A, 0xA0000, 0), 0);
    EXPECT_EQ(Last(), (Bytes{0xF0, 0x7D, 0x00, 0x6A, 0x02, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00, 0x00,
                             0x7F, 0x7F, 0x7F, 0x7F, 0x0F, 0xF7}));

    ASSERT_EQ(engine_.SendDataBlock(0x6A, 0xEFFFF, 1), 0);
    const Bytes last = Last();
    ASSERT_EQ(last.size(), 20u);
    EXPECT_EQ(testsupport::Unpack7Bit(last.data() + 12, 2), Bytes{image[IMAGE_SIZE - 1]});
}

TEST_F(SendPath, BlocksThatLeaveTheImageAreRefusedWithoutOpeningTheOutput) {
    const std::pair<std::int32_t, std::int32_t> refused[] = {
        {0xEFFFF, 2}, {0x9FFFF, 1}, {0xA0000, 16384}, {0xA0000, -1},
        {std::numeric_limits<std::int32_t>::min(), 1}, {std::numeric_limits<std::int32_t>::max(), 16383}};
    for (const auto& [address, length] : refused) {
        EXPECT_EQ(engine_.SendDataBlock(0x6A, address, length), -1) << address << " + " << length;
    }
    EXPECT_EQ(engine_.SendDataBlock(0x80, 0xA0000, 1), -1) << "model byte with bit 7 set";
    EXPECT_TRUE(out_.Sent().empty());
    EXPECT_EQ(out_.Opens(), 0);
}

TEST_F(SendPath, StatusRepliesCarryTheCurrentModelAndTheirCode) {
    EXPECT_EQ(g_modelId.load(), 0x6A) << "the first accepted model before any run";
    EXPECT_EQ(engine_.SendStatus(1), 0);
    EXPECT_EQ(Last(), (Bytes{0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x01, 0xF7}));
    g_modelId = 0x69;
    EXPECT_EQ(engine_.SendStatus(0), 0);
    EXPECT_EQ(Last(), (Bytes{0xF0, 0x7D, 0x00, 0x69, 0x00, 0x00, 0xF7}));

    // A byte with bit 7 set inside the message would end it early on the wire: nothing is sent.
    EXPECT_EQ(engine_.SendStatus(0x80), -1);
    g_modelId = 0xF7;
    EXPECT_EQ(engine_.SendStatus(0), -1);
    EXPECT_EQ(out_.Sent().size(), 2u);
}

TEST_F(SendPath, EraseAndFinishAreCopiedFromTheirTemplatesWithTheGivenModel) {
    EXPECT_EQ(engine_.SendErase(0x69), 0);
    EXPECT_EQ(Last(), (Bytes{0xF0, 0x7D, 0x00, 0x69, 0x01, 0xF7}));
    EXPECT_EQ(engine_.SendFinish(0x6A), 0);
    EXPECT_EQ(Last(), (Bytes{0xF0, 0x7D, 0x00, 0x6A, 0x04, 0xF7}));
    EXPECT_EQ(engine_.SendErase(0xF7), -1);
    EXPECT_EQ(out_.Sent().size(), 2u);
}

TEST_F(SendPath, IdentityMessagesComeStraightFromTheTemplatesWithTheAcceptedModel) {
    EXPECT_EQ(engine_.SendIdentityRequest(), 0);
    EXPECT_EQ(Last(), (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}));

    const Bytes beforeAnyDevice{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x00, 0x00,
                                0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7};
    EXPECT_EQ(engine_.SendIdentityReply(), 0);
    EXPECT_EQ(Last(), beforeAnyDevice);

    SetIdentityReplyModel(0x69);
    EXPECT_EQ(IdentityReplyModel(), 0x69);
    EXPECT_EQ(engine_.SendIdentityReply(), 0);
    Bytes accepted = beforeAnyDevice;
    accepted[6] = 0x69;
    EXPECT_EQ(Last(), accepted);
}

TEST_F(SendPath, EveryMessageOpensTheSelectedOutputAndClosesItAgain) {
    engine_.SelectMidiOut(2);
    EXPECT_EQ(engine_.SendStatus(0), 0);
    engine_.SelectMidiOut(-1);  // no selection reaches the platform unchanged
    EXPECT_EQ(engine_.SendIdentityRequest(), 0);

    const auto sent = out_.Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].device, 2u);
    EXPECT_EQ(sent[1].device, 0xFFFFFFFFu);
    EXPECT_EQ(out_.Opens(), 2);
    EXPECT_EQ(out_.Closes(), 2);
    EXPECT_EQ(out_.OpenNow(), 0);
}

TEST_F(SendPath, OutputThatCannotOpenSendsNothingAndReportsMinusOne) {
    out_.refuseOpen = true;
    EXPECT_EQ(engine_.SendIdentityRequest(), -1);
    EXPECT_EQ(engine_.SendStatus(0), -1);
    EXPECT_EQ(engine_.SendDataBlock(0x6A, 0xA0000, 9216), -1);
    EXPECT_EQ(engine_.SendSysEx(g_identityRequest, 0), -1);
    EXPECT_TRUE(out_.Sent().empty());
    EXPECT_EQ(out_.OpenNow(), 0);

    out_.refuseOpen = false;  // the next message opens afresh
    EXPECT_EQ(engine_.SendStatus(0), 0);
    EXPECT_EQ(out_.Sent().size(), 1u);
    EXPECT_EQ(out_.OpenNow(), 0);
}

TEST_F(SendPath, EngineWithoutAMidiOutputSendsNothing) {
    CUpdateEngine engine(host_, EnginePlatform{});
    EXPECT_EQ(engine.SendIdentityRequest(), -1);
    EXPECT_EQ(engine.Image(), LoadFirmwareImage());
}

TEST_F(SendPath, TwoThreadsSendingAtOnceProduceWholeMessagesOneAfterTheOther) {
    // The messages each thread sends, taken one at a time first.
    auto worker = [this] {
        engine_.SendDataBlock(0x6A, 0xA0000, 9216);
        engine_.SendErase(0x6A);
    };
    auto timer = [this] {
        engine_.SendDataBlock(0x6A, 0xEEC00, 5120);
        engine_.SendStatus(1);
        engine_.SendIdentityReply();
    };
    worker();
    timer();
    const std::vector<Bytes> expected = Sent();
    ASSERT_EQ(expected.size(), 5u);

    out_.slowCopy = true;
    constexpr int ROUNDS = 300;
    for (int round = 0; round < ROUNDS; ++round) RunTogether(worker, timer);

    const std::vector<Bytes> sent = Sent();
    ASSERT_EQ(sent.size(), expected.size() * (ROUNDS + 1));
    for (std::size_t i = 0; i < sent.size(); ++i) {
        ASSERT_NE(std::find(expected.begin(), expected.end(), sent[i]), expected.end())
            << "message " << i << " (" << sent[i].size() << " bytes) is a mixture";
    }
    EXPECT_EQ(out_.Overlaps(), 0);
    EXPECT_EQ(out_.Opens(), out_.Closes());
}

namespace {

// A device list that grows by one device at each of its first three listings, as when devices are
// plugged in while the window scans: every GetNumDevs is a new listing.
class GrowingDeviceList final : public platform::LoopbackMidiOut {
public:
    std::uint32_t GetNumDevs() override {
        if (++listings <= 3) AddDevice("Device " + std::to_string(listings));
        return LoopbackMidiOut::GetNumDevs();
    }
    int listings = 0;
};

}  // namespace

TEST(DeviceScan, NamesComeFromOneListingSoADeviceArrivingMidScanDoesNotShiftThem) {
    GrowingDeviceList out;
    HeadlessHost host;
    CUpdateEngine engine{host, EnginePlatform{&out, nullptr, nullptr}};
    const std::vector<std::string> names = engine.MidiOutDeviceNames();
    EXPECT_EQ(out.listings, 1);
    EXPECT_EQ(names, std::vector<std::string>{"Device 1"});
}
