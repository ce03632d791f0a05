// The device message dispatcher, driven by manual ticks over the loopback MIDI devices.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "Encoding.h"
#include "FirmwareImage.h"
#include "Messages.h"
#include "RawMidiIn.h"
#include "RecordingHost.h"
#include "TestSupport.h"
#include "UpdateEngine.h"
#include "platform/loopback/LoopbackMidiIn.h"
#include "platform/loopback/LoopbackMidiOut.h"
#include "platform/loopback/ManualTimerService.h"
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

// The engine with its dispatcher on manual ticks, over an input that subclasses provide.
class DispatcherRig : public ::testing::Test {
protected:
    virtual platform::IMidiInApi& Input() = 0;
    // Hands `m` to the input port as one received entry.
    virtual void DeliverEntry(const Bytes& m) = 0;

    void SetUp() override {
        g_modelId = g_acceptedModels[0];
        SetIdentityReplyModel(0x00);
        device_ = out_.AddDevice("USB Audio Device");
        engine_ = std::make_shared<CUpdateEngine>(host_, EnginePlatform{&out_, &Input(), &timers_});
        engine_->SelectMidiOut(0);
        ASSERT_TRUE(engine_->RestartInput(0));
        ASSERT_NE(engine_->StartPollTimer(), 0u);
    }
    void TearDown() override {
        engine_.reset();
        g_modelId = g_acceptedModels[0];
        SetIdentityReplyModel(0x00);
    }

    void Deliver(const Bytes& m) { DeliverEntry(m); }
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
        if (!m.empty() && m.front() == 0xF0) {
            ASSERT_TRUE(engine_->HasPendingDeviceMessages()) << "the entry never arrived";
        }
        Tick();
        EXPECT_TRUE(Sent().empty()) << "answered a message it must drop, length " << m.size();
        EXPECT_EQ(Last().status, 77);
        EXPECT_EQ(Last().count, before.count) << "recorded a reply, length " << m.size();
        EXPECT_FALSE(Signalled());
    }

    platform::LoopbackMidiOut out_;
    platform::ManualTimerService timers_;
    testsupport::RecordingHost host_;
    platform::LoopbackMidiOut::DeviceId device_{};
    std::shared_ptr<CUpdateEngine> engine_;
};

// Over the loopback input, which frames messages as a MIDI system does.
class Dispatcher : public DispatcherRig {
protected:
    void SetUp() override {
        in_.AddDevice("USB Audio Device");
        DispatcherRig::SetUp();
    }
    platform::IMidiInApi& Input() override { return in_; }
    // An entry without the end byte comes from the input port only when reception stops in the
    // middle of the message; the port is started again right after.
    void DeliverEntry(const Bytes& m) override {
        ASSERT_TRUE(in_.Deliver(0u, m));
        if (!m.empty() && m.front() == 0xF0 && m.back() != 0xF7) {
            ASSERT_TRUE(engine_->RestartInput(0));
        }
    }

    platform::LoopbackMidiIn in_;
};

// Over an input that returns entries exactly as given, as a driver may: bytes behind the end
// byte, status bytes inside a message.
class DispatcherOnRawEntries : public DispatcherRig {
protected:
    platform::IMidiInApi& Input() override { return raw_; }
    void DeliverEntry(const Bytes& m) override { ASSERT_TRUE(raw_.Deliver(m.data(), m.size())); }

    testsupport::RawMidiIn raw_;
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

TEST_F(Dispatcher, AnIdentityReplyHandsOnItsSoftwareRevisionBytesAsTheyCame) {
    // Family 0x0069, member 0x0000, software revision 01 02 03 7F.
    Deliver({0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x69, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x7F, 0xF7});
    Tick();
    EXPECT_EQ(Last().model, 0x69);
    EXPECT_EQ(Last().softwareRevision, (SoftwareRevision{0x01, 0x02, 0x03, 0x7F}));
    EXPECT_TRUE(Signalled());
    EXPECT_TRUE(Sent().empty()) << "the revision is handed on, never answered";

    // A later answer of another kind leaves the identity as it was.
    PresetStatus(0);
    EXPECT_EQ(Last().softwareRevision, (SoftwareRevision{0x01, 0x02, 0x03, 0x7F}));

    // The next Identity Reply replaces it, also by none when it ends before its revision.
    Deliver({0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x6A, 0x00, 0x00, 0x00, 0x31, 0x30, 0x30, 0xF7});
    Tick();
    EXPECT_EQ(Last().model, 0x6A);
    EXPECT_FALSE(Last().softwareRevision.has_value()) << "three of its four bytes came";
    EXPECT_TRUE(Signalled());
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

// No data byte of a SysEx message has bit 7 set: a field that would be the end byte 0xF7 is not
// there, and the message is too short for its row: no answer sent, nothing recorded.
TEST_F(Dispatcher, AStatusThatEndsWhereItsCodeBelongsIsNotAReply) {
    ExpectIgnored({0xF0, 0x7D, 0x00, 0x6A, 0x00, 0xF7});
}

TEST_F(Dispatcher, AMessageThatEndsWhereItsModelOrOpcodeBelongsGetsNoAnswer) {
    ExpectIgnored({0xF0, 0x7D, 0x00, 0xF7});
    ExpectIgnored({0xF0, 0x7D, 0x00, 0x6A, 0xF7});
    ExpectIgnored({0xF0, 0x7D, 0xF7});
}

TEST_F(Dispatcher, ABlockRequestThatEndsInsideItsAddressOrLengthGetsNoAnswer) {
    const Bytes full = BlockRequest(0xA0000, 8);  // F0 7D 00 6A 03 | 00 00 28 00 00 | 08 00 | F7
    for (std::size_t at = 5; at <= 11; ++at) {
        SCOPED_TRACE(at);
        Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(at));
        cut.push_back(0xF7);
        ExpectIgnored(cut);
    }
    // The whole request is answered, and so is one whose reception stopped right behind its fields.
    Deliver(full);
    Deliver(Bytes(full.begin(), full.end() - 1));
    Tick();
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].size(), static_cast<std::size_t>(BlockMessageLength(8)));
    EXPECT_EQ(sent[1], sent[0]);
}

TEST_F(Dispatcher, AnIdentityReplyThatEndsWhereItsModelBelongsStoresNothing) {
    ExpectIgnored({0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0xF7});
    EXPECT_EQ(Last().model, 0x00) << "no Identity Reply so far";

    // The model is all that is read: a reply that ends right behind it is a reply.
    Deliver({0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x69, 0xF7});
    Tick();
    EXPECT_EQ(Last().model, 0x69);
    EXPECT_TRUE(Signalled());
}

TEST_F(Dispatcher, AUniversalMessageThatEndsWhereItsSubIdsBelongGetsNoAnswer) {
    ExpectIgnored({0xF0, 0x7E, 0x00, 0xF7});
    ExpectIgnored({0xF0, 0x7E, 0x00, 0x06, 0xF7});
}

TEST_F(Dispatcher, RowsThatReadNothingBehindTheOpcodeActOnAMessageCutRightBehindIt) {
    // ERASE, FINISH, OP_05 and an unknown opcode read only up to index 4, as does OP_BLOCK; an
    // entry whose reception stopped right behind the opcode is still that message.
    for (const Bytes& m : {Bytes{0xF0, 0x7D, 0x00, 0x6A, 0x01}, Bytes{0xF0, 0x7D, 0x00, 0x6A, 0x04},
                           Bytes{0xF0, 0x7D, 0x00, 0x6A, 0x05}}) {
        out_.ClearMessages(device_);
        Deliver(m);
        Tick();
        EXPECT_EQ(Sent(), std::vector<Bytes>{ACK});
    }
    out_.ClearMessages(device_);
    Deliver({0xF0, 0x7D, 0x00, 0x6A, 0x07});
    Tick();
    EXPECT_EQ(Sent(), std::vector<Bytes>{NOT_RECOGNISED});

    // The first entry of a device block longer than the receive buffer carries no end byte.
    Bytes longBlock = {0xF0, 0x7D, 0x00, 0x6A, 0x02};
    longBlock.resize(9000, 0x55);
    longBlock.push_back(0xF7);
    PresetStatus(3);
    Deliver(longBlock);
    Tick();
    EXPECT_EQ(Last().status, 0);
    EXPECT_TRUE(Signalled());
}

TEST_F(DispatcherOnRawEntries, ReadsNoFieldAtOrBehindAnEndByteInsideTheEntry) {
    ExpectIgnored({0xF0, 0x7D, 0x00, 0x6A, 0x00, 0xF7, 0x0B, 0xF7});  // status code
    ExpectIgnored({0xF0, 0x7D, 0x00, 0xF7, 0x01, 0xF7});              // model
    ExpectIgnored({0xF0, 0x7D, 0x00, 0x6A, 0xF7, 0x01, 0xF7});        // opcode
    ExpectIgnored({0xF0, 0xF7, 0x00, 0x6A, 0x00, 0x0B, 0xF7});        // manufacturer
    const Bytes request = BlockRequest(0xA0000, 8);
    for (std::size_t at = 5; at <= 11; ++at) {  // address and length groups
        SCOPED_TRACE(at);
        Bytes marked = request;
        marked[at] = 0xF7;
        ExpectIgnored(marked);
    }
    ExpectIgnored({0xF0, 0x7E, 0x00, 0xF7, 0x01, 0xF7});  // sub-id
    ExpectIgnored({0xF0, 0x7E, 0x00, 0x06, 0xF7, 0x01, 0xF7});
    ExpectIgnored({0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0xF7, 0x69, 0xF7});  // identity model
    // An end byte among the revision bytes: the model counts, the revision is not there.
    for (std::size_t at = 10; at <= 13; ++at) {
        SCOPED_TRACE(at);
        Bytes reply = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x69, 0x00, 0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7};
        reply[at] = 0xF7;
        Deliver(reply);
        Tick();
        EXPECT_EQ(Last().model, 0x69);
        EXPECT_FALSE(Last().softwareRevision.has_value());
        EXPECT_TRUE(Signalled());
    }
}

TEST_F(DispatcherOnRawEntries, AByteWithBit7SetEndsTheMessageWhereverItStands) {
    ExpectIgnored({0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x8B, 0xF7});
    ExpectIgnored({0xF0, 0x7D, 0x00, 0xEA, 0x00, 0x0B, 0xF7});
    ExpectIgnored({0xF0, 0x7D, 0x00, 0x6A, 0x86, 0xF7});
    ExpectIgnored({0xF0, 0x7D, 0x00, 0x6A, 0x00, 0xF0, 0x0B, 0xF7});
    Bytes request = BlockRequest(0xA0000, 8);
    request[11] = 0x80;
    ExpectIgnored(request);
    ExpectIgnored({0xF0, 0x7E, 0x00, 0x86, 0x01, 0xF7});
    ExpectIgnored({0xF0, 0x7E, 0x00, 0x06, 0x81, 0xF7});
    ExpectIgnored({0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0xE9, 0x00, 0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7});
}

TEST_F(DispatcherOnRawEntries, FieldsBeforeTheEndByteAreReadWhateverFollowsIt) {
    Deliver({0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x0B, 0xF7, 0x00, 0xF7});
    Tick();
    EXPECT_EQ(Last().status, 11);
    EXPECT_TRUE(Signalled());

    Deliver({0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x69, 0xF7, 0xFF});
    Tick();
    EXPECT_EQ(Last().model, 0x69);
    EXPECT_EQ(Last().status, 0);
    EXPECT_TRUE(Signalled());

    Bytes request = BlockRequest(0xEFFFF, 1);
    request.insert(request.end(), {0x12, 0x34, 0xF7});
    Deliver(request);
    Deliver({0xF0, 0x7D, 0x00, 0x6A, 0x01, 0xF7, 0x02});
    Tick();
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].size(), static_cast<std::size_t>(BlockMessageLength(1)));
    EXPECT_EQ(sent[1], ACK);
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

TEST_F(Dispatcher, PostsEachAnswerWithItsKindAndTheMomentItsMessageCame) {
    struct Case {
        Bytes message;
        std::uint8_t kind;  // 0: no answer
    };
    const Case cases[] = {
        {{0xF0, 0x41, 0x10, 0x42, 0x12, 0xF7}, 0},  // another manufacturer: numbered, no answer
        {{0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x03, 0xF7}, REPLY_KIND_STATUS},
        {{0xF0, 0x7D, 0x00, 0x6A, 0x02, 0xF7}, REPLY_KIND_BLOCK},
        {{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x69, 0x00, 0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7}, REPLY_KIND_IDENTITY},
    };
    int number = 0;
    std::uint8_t answeredKind = 0;
    ReplyClock::time_point answeredFrom{}, answeredUntil{};  // when the last answer was delivered
    for (const Case& c : cases) {
        const auto before = ReplyClock::now();
        Deliver(c.message);
        const auto after = ReplyClock::now();
        ++number;
        Tick();
        if (c.kind != 0) {
            answeredKind = c.kind;
            answeredFrom = before;
            answeredUntil = after;
        }
        EXPECT_EQ(Last().kind, answeredKind) << "message " << number;
        EXPECT_GE(Last().receivedAt, answeredFrom) << "message " << number;
        EXPECT_LE(Last().receivedAt, answeredUntil) << "message " << number;
    }
    EXPECT_EQ(Last().count, 3u);
    EXPECT_EQ(Last().status, REPLY_OK);
    EXPECT_EQ(Last().model, 0x69);
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
