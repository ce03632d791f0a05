// The device message dispatcher, driven by manual ticks over the loopback MIDI devices.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "Encoding.h"
#include "FirmwareImage.h"
#include "Messages.h"
#include "RecordingHost.h"
#include "TestSupport.h"
#include "UpdateEngine.h"
#include "platform/LoopbackMidiIn.h"
#include "platform/LoopbackMidiOut.h"
#include "platform/ManualTimerService.h"
#include "platform/PosixTimerService.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes ACK = {0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x00, 0xF7};
const Bytes NOT_RECOGNISED = {0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x01, 0xF7};
const Bytes HOST_IDENTITY_REPLY = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x00, 0x00,
                                  0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7};

Bytes BlockRequest(std::uint32_t address, std::uint32_t length) {
    Bytes m = {0xF0, 0x7D, 0x00, 0x6A, 0x03};
    for (int g = 0; g < 5; ++g) m.push_back(static_cast<std::uint8_t>((address >> (7 * g)) & 0x7F));
    m.push_back(static_cast<std::uint8_t>(length & 0x7F));
    m.push_back(static_cast<std::uint8_t>((length >> 7) & 0x7F));
    m.push_back(0xF7);
    return m;
}

class Dispatcher : public ::testing::Test {
protected:
    void SetUp() override {
        g_modelId = g_acceptedModels[0];
        SetIdentityReplyModel(0x00);
        device_ = out_.AddDevice("USB Audio Device");
        in_.AddDevice("USB Audio Device");
        engine_ = std::make_shared<CUpdateEngine>(host_, EnginePlatform{&out_, &in_, &timers_});
        engine_->SelectMidiOut(0);
        ASSERT_TRUE(engine_->RestartInput(0));
        ASSERT_NE(engine_->StartPollTimer(), 0u);
    }
    void TearDown() override {
        engine_.reset();
        g_modelId = g_acceptedModels[0];
        SetIdentityReplyModel(0x00);
    }

    void Deliver(const Bytes& m) { ASSERT_TRUE(in_.Deliver(0u, m)); }
    void Tick() { ASSERT_EQ(timers_.TickAll(), 1u); }
    std::vector<Bytes> Sent() const { return out_.Messages(device_); }
    bool Signalled() { return engine_->WaitForReply(0); }
    Reply Last() const { return engine_->LastReply(); }

    // The device answers STATUS `code`, and the run has taken that answer: a known value that a
    // following message must change or leave alone.
    void PresetStatus(std::uint8_t code) {
        Deliver({0xF0, 0x7D, 0x00, 0x6A, 0x00, code, 0xF7});
        Tick();
        ASSERT_EQ(Last().status, code);
        ASSERT_TRUE(Signalled());
    }

    // The message must pass without an answer and without a recorded reply.
    void ExpectIgnored(const Bytes& m) {
        out_.ClearMessages(device_);
        PresetStatus(77);
        const Reply before = Last();
        Deliver(m);
        Tick();
        EXPECT_TRUE(Sent().empty()) << "answered a message it must drop, length " << m.size();
        EXPECT_EQ(Last().status, 77);
        EXPECT_EQ(Last().count, before.count) << "recorded a reply, length " << m.size();
        EXPECT_FALSE(Signalled());
    }

    platform::LoopbackMidiOut out_;
    platform::LoopbackMidiIn in_;
    platform::ManualTimerService timers_;
    testsupport::RecordingHost host_;
    platform::LoopbackMidiOut::DeviceId device_{};
    std::shared_ptr<CUpdateEngine> engine_;
};

TEST_F(Dispatcher, AnEmptyListTouchesNothing) {
    PresetStatus(42);
    Tick();
    EXPECT_EQ(Last().status, 42);
    EXPECT_EQ(Last().count, 1u);
    EXPECT_FALSE(Signalled());
    EXPECT_TRUE(Sent().empty());
}

TEST_F(Dispatcher, HandlesEveryWaitingMessageInArrivalOrderInOneTick) {
    Deliver({0xF0, 0x7D, 0x00, 0x6A, 0x06, 0xF7});  // unknown opcode
    Deliver({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});  // identity request
    Deliver({0xF0, 0x7D, 0x00, 0x6A, 0x05, 0xF7});  // OP_05
    Tick();
    EXPECT_EQ(Sent(), (std::vector<Bytes>{NOT_RECOGNISED, HOST_IDENTITY_REPLY, ACK}));
    EXPECT_FALSE(engine_->HasPendingDeviceMessages()) << "every message is freed";
}

TEST_F(Dispatcher, RecordsTheDeviceStatusForTheCurrentModelOnly) {
    Deliver({0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x0B, 0xF7});
    Tick();
    EXPECT_EQ(Last().status, 11);
    EXPECT_TRUE(Signalled());
    EXPECT_TRUE(Sent().empty());

    ExpectIgnored({0xF0, 0x7D, 0x00, 0x69, 0x00, 0x0B, 0xF7});  // another model
}

TEST_F(Dispatcher, AcknowledgesEraseFinishAndOp05WithoutRecording) {
    for (std::uint8_t op : {OP_ERASE, OP_FINISH, OP_05}) {
        out_.ClearMessages(device_);
        Deliver({0xF0, 0x7D, 0x00, 0x6A, op, 0xF7});
        Tick();
        EXPECT_EQ(Sent(), std::vector<Bytes>{ACK}) << "opcode " << int(op);
        EXPECT_FALSE(Signalled());
    }
}

TEST_F(Dispatcher, AnswersUnknownOpcodesAndGeneralInformationSubIdsWithNotRecognised) {
    for (const Bytes& m : {Bytes{0xF0, 0x7D, 0x00, 0x6A, 0x06, 0xF7}, Bytes{0xF0, 0x7D, 0x00, 0x6A, 0x7F, 0xF7},
                           Bytes{0xF0, 0x7E, 0x00, 0x06, 0x03, 0xF7}}) {
        out_.ClearMessages(device_);
        Deliver(m);
        Tick();
        EXPECT_EQ(Sent(), std::vector<Bytes>{NOT_RECOGNISED});
        EXPECT_FALSE(Signalled());
    }
}

TEST_F(Dispatcher, AnswersAnIdentityRequestToAllDevicesWithTheHostIdentity) {
    Deliver({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
    Tick();
    EXPECT_EQ(Sent(), std::vector<Bytes>{HOST_IDENTITY_REPLY});

    out_.ClearMessages(device_);
    SetIdentityReplyModel(0x69);
    Deliver({0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7});
    Tick();
    Bytes expected = HOST_IDENTITY_REPLY;
    expected[6] = 0x69;
    EXPECT_EQ(Sent(), std::vector<Bytes>{expected}) << "carries the model accepted last";
}

TEST_F(Dispatcher, AnIdentityReplyStoresTheModelThenRecordsSuccess) {
    PresetStatus(9);
    Deliver({0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x69, 0x00, 0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7});
    Tick();
    EXPECT_EQ(Last().model, 0x69);
    EXPECT_EQ(Last().status, 0);
    EXPECT_TRUE(Signalled());
    EXPECT_TRUE(Sent().empty());
}

TEST_F(Dispatcher, ADataBlockFromTheDeviceCountsAsSuccess) {
    PresetStatus(3);
    Deliver({0xF0, 0x7D, 0x00, 0x6A, 0x02, 0xF7});
    Tick();
    EXPECT_EQ(Last().status, 0);
    EXPECT_TRUE(Signalled());
}

TEST_F(Dispatcher, AnswersABlockRequestWithThoseImageBytes) {
    Deliver(BlockRequest(0xA0000, 9216));
    Tick();
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    const Bytes& block = sent[0];
    ASSERT_EQ(block.size(), 10551u);
    EXPECT_EQ(Bytes(block.begin(), block.begin() + 12),
              (Bytes{0xF0, 0x7D, 0x00, 0x6A, 0x02, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00, 0x48}));
    Bytes packed(10533);
    Pack7Bit(packed.data(), LoadFirmwareImage(), 9216);
    EXPECT_TRUE(std::equal(packed.begin(), packed.end(), block.begin() + 12));
    Bytes crc(5);
    Write7BitGroups(crc.data(), Crc32Compute(LoadFirmwareImage(), 9216), 5);
    EXPECT_TRUE(std::equal(crc.begin(), crc.end(), block.begin() + 12 + 10533));
    EXPECT_EQ(block.back(), 0xF7);
    EXPECT_FALSE(Signalled());

    out_.ClearMessages(device_);
    Deliver(BlockRequest(0xEFFFF, 1));  // the last byte of the image
    Tick();
    ASSERT_EQ(Sent().size(), 1u);
    EXPECT_EQ(Sent()[0].size(), 20u);

    out_.ClearMessages(device_);
    Deliver(BlockRequest(0xF0000, 0));  // empty, right behind the image: reads nothing
    Tick();
    ASSERT_EQ(Sent().size(), 1u);
    EXPECT_EQ(Sent()[0].size(), 18u);
}

TEST_F(Dispatcher, ARequestForARangeOutsideTheImageIsAnsweredNotRecognised) {
    for (const Bytes& m : {BlockRequest(0x9FFFF, 1), BlockRequest(0xEFFFF, 2), BlockRequest(0xF0000, 1),
                           BlockRequest(0xEC002, 16383), BlockRequest(0xFFFFFFFF, 16383),
                           BlockRequest(0x100A0000, 8)}) {
        out_.ClearMessages(device_);
        Deliver(m);
        Tick();
        EXPECT_EQ(Sent(), std::vector<Bytes>{NOT_RECOGNISED});
    }
}

TEST_F(Dispatcher, DropsMessagesTooShortForWhatTheirRowReads) {
    ExpectIgnored({0xF0});
    ExpectIgnored({0xF0, 0x7D});
    ExpectIgnored({0xF0, 0x7D, 0x00, 0x6A});
    ExpectIgnored({0xF0, 0x7D, 0x00, 0x6A, 0x00});                    // status without its code
    ExpectIgnored({0xF0, 0x7D, 0x00, 0x6A, 0x03, 0, 0, 0x28, 0, 0, 0});  // request without length
    ExpectIgnored({0xF0, 0x7E, 0x00, 0x06});
    ExpectIgnored({0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D});             // identity reply without model
}

TEST_F(Dispatcher, DropsMessagesThatAreNotForThisHost) {
    ExpectIgnored({0x7D, 0x00, 0x6A, 0x00, 0x00, 0xF7});        // continuation of a long message
    ExpectIgnored({0xF0, 0x41, 0x10, 0x6A, 0x00, 0x00, 0xF7});  // another manufacturer
    ExpectIgnored({0xF0, 0x7F, 0x7F, 0x06, 0x01, 0xF7});        // universal real-time
    ExpectIgnored({0xF0, 0x7E, 0x00, 0x07, 0x01, 0xF7});        // not General Information
}

TEST_F(Dispatcher, TwoAnswersInOneTickLeaveTheSecondAndOneSignal) {
    Deliver({0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x05, 0xF7});
    Deliver({0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x00, 0xF7});
    Tick();
    EXPECT_EQ(Last().status, 0);
    EXPECT_TRUE(Signalled());
    EXPECT_FALSE(Signalled()) << "a signal nobody consumed is not counted twice";
}

TEST_F(Dispatcher, NothingOverwritesTheClosingMarker) {
    Deliver({0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x00, 0xF7});  // arrived before the window closed
    Deliver({0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x69, 0x00, 0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7});
    engine_->OnWindowClosing();
    EXPECT_FALSE(engine_->IsInputStarted());
    EXPECT_TRUE(Signalled());
    Tick();
    EXPECT_EQ(Last().status, REPLY_CLOSING);
    EXPECT_FALSE(Signalled());
}

TEST_F(Dispatcher, ReleasingTheTimerEndsTheTicks) {
    engine_->ReleaseTimer();
    EXPECT_EQ(timers_.ActiveEvents(), 0u);
    EXPECT_EQ(timers_.OutstandingPeriodRequests(), 0u);
    Deliver({0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7});
    EXPECT_EQ(timers_.TickAll(), 0u);
    EXPECT_TRUE(Sent().empty());
}

TEST(DispatcherOnTheRealTimer, AnswersTheDeviceWithinAFewTicks) {
    platform::LoopbackMidiOut out;
    platform::LoopbackMidiIn in;
    platform::PosixTimerService timers;
    testsupport::RecordingHost host;
    const auto device = out.AddDevice("dev");
    in.AddDevice("dev");
    EngineTimings timings;
    timings.pollPeriodMs = 5;
    auto engine = std::make_shared<CUpdateEngine>(
        std::shared_ptr<IUpdateHost>(&host, [](IUpdateHost*) {}), EnginePlatform{&out, &in, &timers}, timings);
    engine->SelectMidiOut(0);
    ASSERT_TRUE(engine->RestartInput(0));
    ASSERT_NE(engine->StartPollTimer(), 0u);
    ASSERT_TRUE(in.Deliver(0u, BlockRequest(0xA0000, 64)));
    ASSERT_TRUE(in.Deliver(0u, {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}));
    ASSERT_TRUE(testsupport::WaitFor([&] { return out.MessageCount(device) == 2; }));
    const auto sent = out.Messages(device);
    EXPECT_EQ(sent[0].size(), static_cast<std::size_t>(BlockMessageLength(64)));
    EXPECT_EQ(sent[1], HOST_IDENTITY_REPLY);
    engine.reset();
    EXPECT_EQ(timers.OutstandingPeriodRequests(), 0u);
}

}  // namespace
