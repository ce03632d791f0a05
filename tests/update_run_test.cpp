// Whole update runs against the simulated device over loopback MIDI devices, with the real poll
// timer and short time-outs.
#include <gtest/gtest.h>

#include <optional>
#include <tuple>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FirmwareImage.h"
#include "LoopbackLink.h"
#include "Messages.h"
#include "RecordingHost.h"
#include "StringTable.h"
#include "TestSupport.h"
#include "UpdateEngine.h"
#include "platform/PosixTimerService.h"
#include "platform/loopback/ManualTimerService.h"

namespace {

using namespace std::chrono_literals;
using Log = std::vector<std::string>;

// The reply time-out of the tests' runs. A device that answers at once must never meet it, also
// in a sanitizer build on a loaded machine where a thread may wait its turn for a second; the
// tests that wait for the time-out pay it in full.
constexpr std::uint32_t TIMEOUT_MS = 2000;

std::string Error(int id) { return std::string("error:") + LoadStringById(id); }
std::string Status(int id) { return std::string("status:") + LoadStringById(id); }

const Log RESTORE = {"enable:in:1", "enable:out:1", "enable:execute:1", "enable:rescan:1"};
const Log LOCK = {"enable:in:0", "enable:out:0", "enable:execute:0", "enable:rescan:0"};

devsim::DeviceSimulatorConfig QuickDevice() {
    devsim::DeviceSimulatorConfig c;
    c.answerDelayMin = 0ms;
    c.answerDelayMax = 1ms;
    c.expectedImage.assign(LoadFirmwareImage(), LoadFirmwareImage() + IMAGE_SIZE);
    return c;
}

class UpdateRun : public ::testing::Test {
protected:
    void SetUp() override {
        g_modelId = g_acceptedModels[0];
        SetIdentityReplyModel(0x00);
    }
    void TearDown() override {
        if (engine_) {
            engine_->OnWindowClosing();  // ends a run that still waits
            EXPECT_TRUE(CUpdateEngine::WaitForWorkers(10s));
            engine_->ReleaseTimer();
            engine_.reset();
        }
        link_.reset();
        g_modelId = g_acceptedModels[0];
        SetIdentityReplyModel(0x00);
    }

    void Connect(devsim::DeviceSimulatorConfig config, std::uint32_t timeoutMs = TIMEOUT_MS,
                 platform::ITimerService* timers = nullptr) {
        link_ = std::make_unique<devsim::LoopbackLink>(out_, in_, "USB Audio Device", std::move(config));
        EngineTimings t;
        t.replyTimeoutMs = timeoutMs;
        t.blockPauseMs = 1;
        t.pollPeriodMs = 2;
        engine_ = std::make_shared<CUpdateEngine>(std::shared_ptr<IUpdateHost>(&host_, [](IUpdateHost*) {}),
                                                  EnginePlatform{&out_, &in_, timers != nullptr ? timers : &timers_}, t);
        engine_->SelectMidiOut(0);
        timerId_ = engine_->StartPollTimer();
        ASSERT_NE(timerId_, 0u);
    }

    // A device that keeps the run in one of its four waits: 0 the identity wait, 1 the erase
    // wait, 2 a block's wait, 3 the finish wait. The reply waits must be long for it.
    static devsim::DeviceSimulatorConfig DeviceThatHolds(int wait) {
        auto c = QuickDevice();
        switch (wait) {
        case 0: c.mute = true; break;
        case 1: c.eraseDelay = 30s; break;
        case 2: c.dropReplyBlock = 5; break;
        default: c.finishStatus.reset(); break;
        }
        return c;
    }
    static const char* WaitName(int wait) {
        static const char* const names[] = {"identity", "erase", "block", "finish"};
        return names[wait];
    }
    // Whether the run has sent the message of that wait (and so sits in the wait, shortly after).
    bool SitsIn(int wait) {
        const auto s = Sim().Summary();
        switch (wait) {
        case 0: return s.identityRequests > 0;
        case 1: return s.eraseSeen;
        case 2: return s.blocks.size() >= 6;
        default: return s.finishSeen;
        }
    }

    // Presses "Execute" with the MIDI IN list's selection.
    bool Execute() { return engine_->OnExecute(midiInSelection_); }

    // Presses "Execute" and waits until the run has ended; gives how it ended.
    std::optional<UpdateOutcome> RunToEnd() {
        EXPECT_TRUE(Execute());
        const std::optional<UpdateOutcome> outcome = engine_->WaitForRunEnd(60s);
        EXPECT_TRUE(outcome.has_value()) << "the run did not end";
        EXPECT_TRUE(CUpdateEngine::WaitForWorkers(10s)) << "the worker did not end";
        return outcome;
    }

    devsim::DeviceSimulator& Sim() { return link_->Simulator(); }
    Log HostLog() const { return host_.Log(); }
    Log Tail(std::size_t n) const {
        const Log log = HostLog();
        return Log(log.end() - static_cast<std::ptrdiff_t>(std::min(n, log.size())), log.end());
    }
    Log Errors() const { return host_.Entries("error:"); }

    platform::LoopbackMidiOut out_;
    platform::LoopbackMidiIn in_;
    platform::PosixTimerService timers_;
    platform::ManualTimerService manualTimers_;  // for tests that tick by hand
    testsupport::RecordingHost host_;
    int midiInSelection_ = 0;
    std::unique_ptr<devsim::LoopbackLink> link_;
    std::shared_ptr<CUpdateEngine> engine_;
    std::uint32_t timerId_ = 0;
};

TEST_F(UpdateRun, ANormalUpdateSendsTheWholeImageInThirtySixBlocksAndCompletes) {
    Connect(QuickDevice());
    EXPECT_EQ(RunToEnd(), UpdateOutcome::Completed);

    std::string verdict;
    EXPECT_TRUE(Sim().Verdict(&verdict)) << verdict;
    const auto summary = Sim().Summary();
    ASSERT_EQ(summary.blocks.size(), 36u);
    std::uint32_t k = 0;
    for (const auto& [address, record] : summary.blocks) {
        EXPECT_EQ(address, 0xA0000u + 9216u * k);
        EXPECT_EQ(record.length, k < 35 ? 9216u : 5120u);
        ++k;
    }
    EXPECT_EQ(summary.blocks.rbegin()->first, 0xEEC00u);

    Log expectedProgress;
    Log expectedTransmit;
    for (int k = 1; k <= 35; ++k) expectedProgress.push_back("progress:" + std::to_string(9216 * k));
    expectedProgress.push_back("progress:327680");
    for (int offset = 0; offset < 327680; offset += 9216) {
        expectedTransmit.push_back("status:Data transmit  " + std::to_string(offset) + " / 327680 ");
    }
    EXPECT_EQ(host_.Entries("progress:"), expectedProgress);
    EXPECT_EQ(host_.Entries("status:Data transmit"), expectedTransmit);

    const Log log = HostLog();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(Log(log.begin(), log.begin() + 4), LOCK);
    EXPECT_EQ(log[4], Status(IDS_ERASING));
    EXPECT_EQ(log[5], "status:");
    Log end = RESTORE;
    end.insert(end.begin(), Status(IDS_UPDATE_COMPLETED));
    end.push_back("enable:execute:0");
    EXPECT_EQ(Tail(6), end);
    EXPECT_TRUE(Errors().empty());
    EXPECT_EQ(engine_->IsUpdateRunning(), false);
    EXPECT_EQ(IdentityReplyModel(), 0x6A);
}

TEST_F(UpdateRun, ABlockRefusedSixTimesIsAcceptedOnItsSeventhSendAndTheNextHasSevenAgain) {
    auto c = QuickDevice();
    c.refusals = {{3, 6, 1}, {4, 6, 11}};  // status 11 in the transfer is just a refusal
    Connect(c);
    RunToEnd();
    std::string verdict;
    EXPECT_TRUE(Sim().Verdict(&verdict)) << verdict;
    const auto summary = Sim().Summary();
    EXPECT_EQ(summary.blocks.at(0xA0000 + 3 * 9216).refused, 6);
    EXPECT_EQ(summary.blocks.at(0xA0000 + 4 * 9216).refused, 6);
    EXPECT_EQ(Tail(6).front(), Status(IDS_UPDATE_COMPLETED));
    const Log transmit = host_.Entries("status:Data transmit  27648 ");
    EXPECT_EQ(transmit.size(), 7u) << "the status line repeats for every send of the block";
}

TEST_F(UpdateRun, ABlockRefusedSevenTimesEndsWithATransferErrorAfterExactlySevenSends) {
    auto c = QuickDevice();
    c.refusals = {{2, 7, 1}};
    Connect(c);
    EXPECT_EQ(RunToEnd(), UpdateOutcome::TransferError);
    const auto summary = Sim().Summary();
    EXPECT_EQ(summary.blocks.at(0xA0000 + 2 * 9216).refused, 7);
    EXPECT_EQ(summary.blocks.at(0xA0000 + 2 * 9216).accepted, 0);
    EXPECT_FALSE(summary.finishSeen);
    Log end = RESTORE;
    end.insert(end.begin(), Error(IDS_TRANSFER_ERROR));
    EXPECT_EQ(Tail(5), end);
    EXPECT_EQ(host_.Entries("progress:").back(), "progress:18432");
    EXPECT_EQ(engine_->IsUpdateRunning(), false);
}

TEST_F(UpdateRun, EraseAnswersDecideTheEnding) {
    for (auto [status, text, outcome] : {std::tuple{11, IDS_SET_VERSIONUP_MODE, UpdateOutcome::NotInVersionUpMode},
                                          std::tuple{1, IDS_TRANSFER_ERROR, UpdateOutcome::TransferError}}) {
        auto c = QuickDevice();
        c.eraseStatus = static_cast<std::uint8_t>(status);
        Connect(c);
        EXPECT_EQ(RunToEnd(), outcome) << "erase status " << status;
        EXPECT_EQ(Errors(), Log{Error(text)}) << "erase status " << status;
        EXPECT_TRUE(host_.Entries("progress:").empty());
        EXPECT_EQ(Sim().Summary().blocks.size(), 0u);
        TearDown();
        host_.Clear();
        SetUp();
    }
}

TEST_F(UpdateRun, ADeviceThatNeverAnswersEndsWithTheIdentityTimeOut) {
    auto c = QuickDevice();
    c.mute = true;
    Connect(c);
    EXPECT_EQ(RunToEnd(), UpdateOutcome::IdentityTimeout);
    Log expected = LOCK;
    expected.push_back(Error(IDS_TIMEOUT_IDENTITY));
    expected.insert(expected.end(), RESTORE.begin(), RESTORE.end());
    EXPECT_EQ(HostLog(), expected);
    EXPECT_EQ(engine_->IsUpdateRunning(), false);
}

TEST_F(UpdateRun, AnOutputThatCannotOpenIsReportedThenTheIdentityWaitTimesOut) {
    Connect(QuickDevice());
    out_.SetRefuseOpen(link_->OutputDevice(), true);
    RunToEnd();
    EXPECT_EQ(Errors(), (Log{Error(IDS_CANT_OPEN_MIDI_OUT), Error(IDS_TIMEOUT_IDENTITY)}));
    EXPECT_EQ(Sim().Summary().identityRequests, 0);
}

TEST_F(UpdateRun, AnUnknownModelIsIllegalAndKeptWhileTheHostIdentityKeepsItsModel) {
    auto c = QuickDevice();
    c.identityModel = 0x42;
    Connect(c);
    EXPECT_EQ(RunToEnd(), UpdateOutcome::IllegalDevice);
    EXPECT_EQ(Errors(), Log{Error(IDS_ILLEGAL_DEVICE)});
    EXPECT_EQ(g_modelId.load(), 0x42);
    EXPECT_EQ(IdentityReplyModel(), 0x00);
    EXPECT_FALSE(Sim().Summary().eraseSeen);
}

// A device that answers the Identity Request with a STATUS has not identified itself: its model
// counts as 0, which is no accepted model, so the run ends at once, never with the time-out and
// never going on to the erase, whatever the code. A STATUS that is not 0 is a refusal anyway.
TEST_F(UpdateRun, AStatusInAnswerToTheIdentityRequestIsAnIllegalDeviceAtOnce) {
    for (const std::uint8_t code : {std::uint8_t{3}, std::uint8_t{0}}) {
        const std::string name = "Status Device";
        const auto outDevice = out_.AddDevice(name);
        in_.AddDevice(name);
        int erases = 0;
        out_.SetListener(outDevice, [&](const std::uint8_t* bytes, std::size_t length) {
            const std::vector<std::uint8_t> m(bytes, bytes + length);
            if (m == std::vector<std::uint8_t>{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}) {
                in_.Deliver(name, {0xF0, 0x7D, 0x00, 0x6A, 0x00, code, 0xF7});
            } else if (length > 4 && bytes[4] == 0x01) {
                ++erases;
            }
        });
        EngineTimings t;
        t.replyTimeoutMs = 60000;  // the time-out would outlast the wait for the run's end below
        t.pollPeriodMs = 2;
        engine_ = std::make_shared<CUpdateEngine>(std::shared_ptr<IUpdateHost>(&host_, [](IUpdateHost*) {}),
                                                  EnginePlatform{&out_, &in_, &timers_}, t);
        engine_->SelectMidiOut(0);
        ASSERT_NE(engine_->StartPollTimer(), 0u);
        ASSERT_TRUE(Execute());
        EXPECT_EQ(engine_->WaitForRunEnd(20s), UpdateOutcome::IllegalDevice) << "status " << int(code);
        EXPECT_EQ(Errors(), Log{Error(IDS_ILLEGAL_DEVICE)}) << "status " << int(code);
        EXPECT_EQ(erases, 0) << "status " << int(code);
        if (code == 0) {
            EXPECT_EQ(host_.Identities(), (std::vector<DeviceIdentity>{DeviceIdentity{0x00, std::nullopt}}))
                << "recorded as a device of model 0";
            EXPECT_EQ(g_modelId.load(), 0x00);
        }
        out_.SetListener(outDevice, nullptr);
        TearDown();
        out_.RemoveDevice(outDevice);
        in_.RemoveDevice(name);
        host_.Clear();
        SetUp();
    }
}

// A message longer than the receive buffer comes in pieces; its first piece, a full buffer that
// begins as a STATUS 0, is the answer: the run ends at once as an illegal device instead of
// waiting for the Identity Reply that the device sends seconds later and erasing it.
TEST_F(UpdateRun, ALongMessageThatReadsAsStatusZeroBeforeTheIdentityReplyIsAnIllegalDevice) {
    auto c = QuickDevice();
    c.longMessageBytes = 12000;
    c.identityReplyDelay = 5s;
    Connect(c, 60000);
    EXPECT_EQ(RunToEnd(), UpdateOutcome::IllegalDevice);
    EXPECT_EQ(Errors(), Log{Error(IDS_ILLEGAL_DEVICE)});
    EXPECT_FALSE(Sim().Summary().eraseSeen);
}

TEST_F(UpdateRun, TheSecondAcceptedModelIsUsedInEveryMessage) {
    auto c = QuickDevice();
    c.model = 0x69;
    Connect(c);
    RunToEnd();
    std::string verdict;
    EXPECT_TRUE(Sim().Verdict(&verdict)) << verdict;
    EXPECT_EQ(IdentityReplyModel(), 0x69);
    EXPECT_EQ(Sim().Summary().wrongModel, 0);
}

TEST_F(UpdateRun, FinishWithoutAnswerIsATransferErrorButAnyAnswerCompletes) {
    auto c = QuickDevice();
    c.finishStatus.reset();
    Connect(c);
    EXPECT_EQ(RunToEnd(), UpdateOutcome::TransferError);
    EXPECT_EQ(Errors(), Log{Error(IDS_TRANSFER_ERROR)});
    EXPECT_EQ(host_.Entries("progress:").back(), "progress:327680");
    TearDown();
    host_.Clear();
    SetUp();

    c = QuickDevice();
    c.finishStatus = 5;
    Connect(c);
    EXPECT_EQ(RunToEnd(), UpdateOutcome::Completed);
    EXPECT_TRUE(Errors().empty());
    EXPECT_EQ(Tail(6).front(), Status(IDS_UPDATE_COMPLETED));
}

TEST_F(UpdateRun, ExecuteDuringARunSaysInProgressAndTouchesNothing) {
    auto c = QuickDevice();
    c.eraseDelay = 10s;  // the run sits in the erase wait
    Connect(c);
    Execute();
    ASSERT_TRUE(testsupport::WaitFor([&] { return !host_.Entries("status:Erasing").empty(); }));
    const auto opens = in_.OpenCalls();
    const std::size_t logged = HostLog().size();
    Execute();
    const Log log = HostLog();
    EXPECT_EQ(Log(log.begin() + static_cast<std::ptrdiff_t>(logged), log.end()), Log{Error(IDS_IN_PROGRESS)});
    EXPECT_EQ(in_.OpenCalls(), opens) << "the input port was not restarted";
    EXPECT_TRUE(engine_->IsInputStarted());
}

TEST_F(UpdateRun, ExecuteWithNoInputSelectedReportsItAndChangesNothing) {
    Connect(QuickDevice());
    midiInSelection_ = -1;
    EXPECT_FALSE(Execute());
    EXPECT_EQ(HostLog(), Log{Error(IDS_CANT_OPEN_MIDI_IN)});
    EXPECT_EQ(engine_->IsUpdateRunning(), false);
    EXPECT_TRUE(CUpdateEngine::WaitForWorkers(1s));
}

TEST_F(UpdateRun, EveryWorkerThreadIsJoinedOnceItHasEndedSoRunsInARowLeaveNoneBehind) {
    auto c = QuickDevice();
    c.mute = true;  // every run ends at the identity request's time-out
    Connect(c, 50);
    for (int run = 0; run < 10; ++run) {
        ASSERT_TRUE(Execute()) << "run " << run;
        ASSERT_TRUE(engine_->WaitForRunEnd(10s).has_value()) << "run " << run;
        // The run has ended; "Execute" works again once the controls are back.
        ASSERT_TRUE(testsupport::WaitFor([&] { return !engine_->IsUpdateRunning(); })) << "run " << run;
        // The worker that just ended may still be on its way out; all before it were joined by
        // this run's start.
        EXPECT_LE(CUpdateEngine::WorkerThreadsHeld(), 2u) << "run " << run;
    }
    ASSERT_TRUE(CUpdateEngine::WaitForWorkers(10s));
    EXPECT_EQ(CUpdateEngine::WorkerThreadsHeld(), 0u);
}

TEST_F(UpdateRun, AWorkerThreadStillInItsRunIsHeldUntilItHasEnded) {
    auto slow = QuickDevice();
    slow.eraseDelay = 10s;
    Connect(slow);
    Execute();
    ASSERT_TRUE(testsupport::WaitFor([&] { return !host_.Entries("status:Erasing").empty(); }));
    EXPECT_FALSE(CUpdateEngine::WaitForWorkers(50ms));
    EXPECT_EQ(CUpdateEngine::WorkerThreadsHeld(), 1u);
    engine_->OnWindowClosing();
    ASSERT_TRUE(CUpdateEngine::WaitForWorkers(10s));
    EXPECT_EQ(CUpdateEngine::WorkerThreadsHeld(), 0u);
}

TEST_F(UpdateRun, ASecondRunAfterAFailureLeavesTheOldProgressUntilItsFirstBlockIsAccepted) {
    auto c = QuickDevice();
    c.refusals = {{2, 7, 1}};  // used up by the first run
    Connect(c);
    RunToEnd();
    ASSERT_EQ(host_.Entries("progress:").back(), "progress:18432");
    host_.Clear();
    RunToEnd();
    const Log progress = host_.Entries("progress:");
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), "progress:9216") << "nothing resets the bar when a run starts";
    std::string verdict;
    EXPECT_TRUE(Sim().Verdict(&verdict)) << verdict;
}

// A simulated device whose messages reach the host only when the test hands them over, each in a
// poll tick of its own (the timer is ticked by hand), so that the order in which the device's
// answers, the host's sends and the dispatcher's ticks meet is the test's, not the scheduler's.
// For every message the host sends it notes how many answers had been handed over by then: the
// n-th message of a run (0: the Identity Request) belongs after exactly n answers.
class LockstepDevice {
public:
    LockstepDevice(platform::LoopbackMidiOut& out, platform::LoopbackMidiIn& in,
                   platform::ManualTimerService& ticks, devsim::DeviceSimulatorConfig config)
        : m_out(out), m_in(in), m_ticks(ticks) {
        m_outDevice = m_out.AddDevice(NAME);
        m_in.AddDevice(NAME);
        m_sim = std::make_unique<devsim::DeviceSimulator>(std::move(config), [this](const std::vector<std::uint8_t>& m) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_wire.push_back(m);
            m_changed.notify_all();
        });
        // Inside the host's send, on its worker thread.
        m_out.SetListener(m_outDevice, [this](const std::uint8_t* bytes, std::size_t length) {
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_answersBeforeSend.push_back(m_handedOver);
            }
            m_sim->OnMessageFromHost(bytes, length);
            if (m_answerDuringTheSend.load()) HandOverNext(5s);
        });
    }
    ~LockstepDevice() {
        m_out.SetListener(m_outDevice, nullptr);
        m_sim->Stop();
        m_out.RemoveDevice(m_outDevice);
        m_in.RemoveDevice(NAME);
    }
    LockstepDevice(const LockstepDevice&) = delete;
    LockstepDevice& operator=(const LockstepDevice&) = delete;

    void SetTimer(std::uint32_t timerId) { m_timerId = timerId; }
    // The device's answer is handed over and ticked inside the host's send, before it returns:
    // the dispatcher posts each answer while the worker is still inside its send. The test then
    // hands nothing over itself.
    void AnswerDuringTheSend() { m_answerDuringTheSend.store(true); }
    bool AnswersDuringTheSend() const { return m_answerDuringTheSend.load(); }

    // The device's `n`-th message (1 = its first) comes twice, back to back: a device that
    // repeats an answer at once. Before the run starts.
    void RepeatAtOnce(int n) { m_repeatAtOnce.store(n); }

    // Hands the device's next message to the host's input and runs one tick; false when the device
    // sent nothing within `limit`.
    bool HandOverNext(std::chrono::milliseconds limit) {
        std::vector<std::uint8_t> m;
        bool twice = false;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            if (!m_changed.wait_for(lock, limit, [this] { return !m_wire.empty(); })) return false;
            m = std::move(m_wire.front());
            m_wire.pop_front();
            ++m_handedOver;  // counted first: the host's next send may follow at once
            twice = m_handedOver == m_repeatAtOnce.load();
        }
        m_in.Deliver(NAME, m);
        if (twice) m_in.Deliver(NAME, m);
        m_ticks.Tick(m_timerId);
        return true;
    }
    // A message of the device that the test makes up (a repeat), handed over and ticked at once.
    void Inject(const std::vector<std::uint8_t>& m) {
        m_in.Deliver(NAME, m);
        m_ticks.Tick(m_timerId);
    }
    // Messages of the host that went out before the answer to the one before them.
    std::vector<std::string> SentTooEarly() const {
        std::lock_guard<std::mutex> lock(m_lock);
        std::vector<std::string> early;
        for (std::size_t n = 0; n < m_answersBeforeSend.size(); ++n) {
            if (m_answersBeforeSend[n] != static_cast<int>(n)) {
                early.push_back("message " + std::to_string(n) + " after " +
                                std::to_string(m_answersBeforeSend[n]) + " answers");
            }
        }
        return early;
    }
    std::size_t HostMessages() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_answersBeforeSend.size();
    }
    devsim::DeviceSimulator& Sim() { return *m_sim; }

    static constexpr const char* NAME = "USB Audio Device";

private:
    platform::LoopbackMidiOut& m_out;
    platform::LoopbackMidiIn& m_in;
    platform::ManualTimerService& m_ticks;
    std::uint32_t m_timerId = 0;
    platform::LoopbackMidiOut::DeviceId m_outDevice{};
    std::unique_ptr<devsim::DeviceSimulator> m_sim;
    mutable std::mutex m_lock;  // guards the three below
    std::condition_variable m_changed;
    std::deque<std::vector<std::uint8_t>> m_wire;  // sent by the device, not yet handed over
    int m_handedOver = 0;
    std::vector<int> m_answersBeforeSend;  // one entry per message of the host
    std::atomic<bool> m_answerDuringTheSend{false};  // set before the run starts
    std::atomic<int> m_repeatAtOnce{0};               // set before the run starts
};

const std::vector<std::uint8_t> STATUS_ACCEPTED = {0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x00, 0xF7};

// Whole runs against a lock-step device; the engine ticks by hand.
class UpdateRunInLockstep : public UpdateRun {
protected:
    void Start(devsim::DeviceSimulatorConfig config, std::chrono::milliseconds repeatWindow = 10ms) {
        device_ = std::make_unique<LockstepDevice>(out_, in_, manualTimers_, std::move(config));
        EngineTimings t;
        t.replyTimeoutMs = 5000;  // a wait satisfied by nothing shows as this time-out
        t.blockPauseMs = 1;
        t.repeatWindowMs = static_cast<std::uint32_t>(repeatWindow.count());
        engine_ = std::make_shared<CUpdateEngine>(std::shared_ptr<IUpdateHost>(&host_, [](IUpdateHost*) {}),
                                                  EnginePlatform{&out_, &in_, &manualTimers_}, t);
        engine_->SelectMidiOut(0);
        timerId_ = engine_->StartPollTimer();
        ASSERT_NE(timerId_, 0u);
        device_->SetTimer(timerId_);
    }
    // Hands the device's messages over until the run has ended; how it ended.
    std::optional<UpdateOutcome> Drive() {
        EXPECT_TRUE(Execute());
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        std::optional<UpdateOutcome> outcome;
        while (!(outcome = engine_->WaitForRunEnd(0ms)) && std::chrono::steady_clock::now() < deadline) {
            if (device_->AnswersDuringTheSend()) {
                std::this_thread::sleep_for(5ms);
            } else {
                device_->HandOverNext(20ms);
            }
        }
        EXPECT_TRUE(outcome.has_value()) << "the run did not end";
        EXPECT_TRUE(CUpdateEngine::WaitForWorkers(10s)) << "the worker did not end";
        return outcome;
    }
    // The device repeats its answer to ERASE (its second message) at once.
    void RepeatTheEraseAnswer() { device_->RepeatAtOnce(2); }
    // The device sends its answer to ERASE once more after the run has taken it and before it
    // sends the first block, in a tick of its own, later than a repeat at once: one answer too
    // many.
    void RepeatTheEraseAnswerLate() {
        host_.onEntry = [this, repeated = false](const std::string& entry) mutable {
            if (entry == "status:" && !repeated) {
                repeated = true;
                device_->Inject(STATUS_ACCEPTED);
            }
        };
    }
    void TearDown() override {
        UpdateRun::TearDown();
        device_.reset();
    }
    // A device that answers a few milliseconds after each message, as one behind a cable does:
    // longer than the pause after a block's answer, so that a run that woke for a stale answer
    // has read it before the true one comes.
    static devsim::DeviceSimulatorConfig SlowerThanTheBlockPause() {
        auto c = QuickDevice();
        c.answerDelayMin = c.answerDelayMax = 5ms;
        return c;
    }

    // A whole run against a device that repeats its answer to ERASE at once and refuses block
    // `refusedBlock` once: it completes, every message went out after the answer to the one
    // before, and the device holds the whole image. What the device saw.
    devsim::DeviceSummary CompleteAfterARepeatedEraseAnswer(int refusedBlock) {
        auto c = SlowerThanTheBlockPause();
        c.refusals = {{refusedBlock, 1, 1}};
        Start(c);
        RepeatTheEraseAnswer();
        EXPECT_EQ(Drive(), UpdateOutcome::Completed);
        EXPECT_EQ(device_->SentTooEarly(), std::vector<std::string>{});
        std::string verdict;
        EXPECT_TRUE(device_->Sim().Verdict(&verdict)) << verdict;
        return device_->Sim().Summary();
    }

    std::unique_ptr<LockstepDevice> device_;
};

TEST_F(UpdateRunInLockstep, ARepeatedAnswerIsNotTakenForTheNextBlocksSoEachBlockWaitsForItsOwn) {
    const auto summary = CompleteAfterARepeatedEraseAnswer(5);
    ASSERT_EQ(summary.blocks.size(), 36u);
    for (const auto& [address, record] : summary.blocks) {
        EXPECT_EQ(record.accepted, 1) << std::hex << address;
        EXPECT_EQ(record.refused, address == 0xA0000u + 5 * 9216 ? 1 : 0) << std::hex << address;
    }
    EXPECT_EQ(summary.blocksMalformed, 0);
    // Identity, ERASE, 37 block sends, FINISH.
    EXPECT_EQ(device_->HostMessages(), 40u);
    EXPECT_EQ(Tail(6).front(), Status(IDS_UPDATE_COMPLETED));
    EXPECT_TRUE(Errors().empty());
}

TEST_F(UpdateRunInLockstep, AnAnswerRepeatedLaterThanAtOnceEndsTheRunWithATransferErrorItCanTellWhy) {
    auto c = SlowerThanTheBlockPause();
    c.refusals = {{0, 1, 1}};
    Start(c, 0ms);  // no repeat is "at once": the test's repeat comes a tick later
    RepeatTheEraseAnswerLate();
    EXPECT_EQ(Drive(), UpdateOutcome::AnswersOutOfStep);
    EXPECT_EQ(Errors(), Log{Error(IDS_TRANSFER_ERROR)});
    EXPECT_EQ(host_.Endings(), std::vector<UpdateOutcome>{UpdateOutcome::AnswersOutOfStep});
    ASSERT_TRUE(engine_->AnswerOutOfStep());
    EXPECT_EQ(engine_->AnswerOutOfStep()->kind, REPLY_KIND_STATUS);
    EXPECT_TRUE(host_.Entries(Status(IDS_UPDATE_COMPLETED)).empty());
}

TEST_F(UpdateRunInLockstep, ARefusedLastBlockIsSentAgainBeforeTheFinishEvenAfterARepeatedAnswer) {
    const auto last = CompleteAfterARepeatedEraseAnswer(35).blocks.at(0xEEC00);
    EXPECT_EQ(last.refused, 1);
    EXPECT_EQ(last.accepted, 1) << "\"Version update completed.\" with the last block never accepted";
}

// A run that takes only what comes after its send must still take an answer that the dispatcher
// posts while the worker is inside that send (a device that answers before the send returns, a
// tick that comes before the worker has woken): none is lost, nothing waits for its time-out.
TEST_F(UpdateRunInLockstep, AnAnswerPostedWhileItsMessageIsStillBeingSentCounts) {
    Start(QuickDevice());
    device_->AnswerDuringTheSend();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Drive(), UpdateOutcome::Completed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "a wait ran into its time-out";
    EXPECT_EQ(device_->SentTooEarly(), std::vector<std::string>{});
    std::string verdict;
    EXPECT_TRUE(device_->Sim().Verdict(&verdict)) << verdict;
}

TEST_F(UpdateRun, ARunHasEndedWholeBeforeItsControlsComeBackSoAnImmediateSecondRunKeepsItsWatchAndEnding) {
    auto c = QuickDevice();
    c.refusals = {{0, 7, 1}};  // the first run ends with a transfer error, the second completes
    Connect(c, 30000);
    CUpdateEngine* engine = engine_.get();
    std::mutex lock;
    bool restored = false;                        // guarded by lock
    std::uint32_t watchesAtRestore = 99;          // guarded by lock
    std::optional<UpdateOutcome> endingAtRestore;  // guarded by lock
    std::optional<std::uint32_t> watchesInSecondRun;  // guarded by lock
    int erasing = 0;                              // guarded by lock
    host_.onEntry = [&](const std::string& entry) {
        std::lock_guard<std::mutex> guard(lock);
        if (entry == "enable:execute:1" && !restored) {
            // "Execute" can be pressed from here on: the run must be over by now.
            restored = true;
            watchesAtRestore = out_.GetCounters().watches;
            endingAtRestore = engine->WaitForRunEnd(0ms);
        }
        if (entry == Status(IDS_ERASING) && ++erasing == 2) {
            watchesInSecondRun = out_.GetCounters().watches;
        }
    };
    ASSERT_TRUE(Execute());
    // The user presses "Execute" again the moment it works.
    ASSERT_TRUE(testsupport::WaitFor([&] {
        std::lock_guard<std::mutex> guard(lock);
        return restored;
    }, 30s));
    ASSERT_TRUE(testsupport::WaitFor([&] { return !engine->IsUpdateRunning(); }, 30s));
    ASSERT_TRUE(Execute());
    EXPECT_EQ(engine->WaitForRunEnd(60s), UpdateOutcome::Completed) << "the second run read the first one's ending";
    ASSERT_TRUE(CUpdateEngine::WaitForWorkers(10s));

    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(watchesAtRestore, 0u) << "the first run still watched its device when the controls came back";
    EXPECT_EQ(endingAtRestore, UpdateOutcome::TransferError) << "the first run's ending was not known yet";
    EXPECT_EQ(watchesInSecondRun, std::optional<std::uint32_t>(1u)) << "the second run lost its watch";
    EXPECT_EQ(out_.GetCounters().watches, 0u);
    std::string verdict;
    EXPECT_TRUE(Sim().Verdict(&verdict)) << verdict;
}

// Closing the window while the run waits: the run ends without a message box, without a status
// change and without giving the controls back.
class ClosingDuringAWait : public UpdateRun, public ::testing::WithParamInterface<int> {};

TEST_P(ClosingDuringAWait, EndsTheRunSilently) {
    const std::string waitingFor = WaitName(GetParam());
    Connect(DeviceThatHolds(GetParam()), 30000);
    Execute();
    // Wait until the run sits in the wait in question.
    ASSERT_TRUE(testsupport::WaitFor([&] { return SitsIn(GetParam()); }, 20s)) << waitingFor;
    std::this_thread::sleep_for(20ms);
    const Log before = HostLog();
    engine_->OnWindowClosing();
    EXPECT_EQ(engine_->WaitForRunEnd(5s), UpdateOutcome::WindowClosed) << waitingFor;
    ASSERT_TRUE(CUpdateEngine::WaitForWorkers(5s)) << "closing did not end the " << waitingFor << " wait";
    EXPECT_EQ(HostLog(), before) << "the run touched the window after it closed";
    EXPECT_EQ(engine_->IsUpdateRunning(), true) << "controls are not given back to a closing window";
}

INSTANTIATE_TEST_SUITE_P(EachWait, ClosingDuringAWait, ::testing::Values(0, 1, 2, 3));

// The device leaving while the run waits: the run ends at once, with the error that its wait
// would have ended with had no answer come (the reply waits are 30 s here, the erase wait has
// none), and gives the controls back.
class DeviceLeavingDuringAWait : public UpdateRun, public ::testing::WithParamInterface<int> {};

TEST_P(DeviceLeavingDuringAWait, EndsTheRunAtOnceWithThatPhasesError) {
    const std::string waitingFor = WaitName(GetParam());
    Connect(DeviceThatHolds(GetParam()), 30000);
    Execute();
    ASSERT_TRUE(testsupport::WaitFor([&] { return SitsIn(GetParam()); }, 20s)) << waitingFor;
    std::this_thread::sleep_for(20ms);
    link_->Vanish();
    EXPECT_EQ(engine_->WaitForRunEnd(5s), UpdateOutcome::DeviceGone) << waitingFor;
    ASSERT_TRUE(CUpdateEngine::WaitForWorkers(5s)) << "the controls did not come back";
    EXPECT_EQ(Errors(), Log{Error(GetParam() == 0 ? IDS_TIMEOUT_IDENTITY : IDS_TRANSFER_ERROR)}) << waitingFor;
    EXPECT_EQ(Tail(4), RESTORE) << waitingFor;
    EXPECT_FALSE(engine_->IsUpdateRunning());
    const RunPhase phases[] = {RunPhase::Identification, RunPhase::Erase, RunPhase::Transfer, RunPhase::Finish};
    EXPECT_EQ(engine_->PhaseReached(), phases[GetParam()]) << waitingFor;
}

INSTANTIATE_TEST_SUITE_P(EachWait, DeviceLeavingDuringAWait, ::testing::Values(0, 1, 2, 3));

TEST_F(UpdateRun, EitherDeviceLeavingAloneEndsTheRun) {
    // The MIDI OUT device alone, during the erase: its watch tells.
    Connect(DeviceThatHolds(1), 30000);
    Execute();
    ASSERT_TRUE(testsupport::WaitFor([&] { return SitsIn(1); }, 20s));
    ASSERT_TRUE(out_.RemoveDevice(link_->OutputDevice()));
    EXPECT_EQ(engine_->WaitForRunEnd(5s), UpdateOutcome::DeviceGone);
    EXPECT_EQ(Errors(), Log{Error(IDS_TRANSFER_ERROR)});
    TearDown();
    host_.Clear();
    SetUp();

    // The MIDI IN device alone, during a block's wait: the input port tells.
    Connect(DeviceThatHolds(2), 30000);
    Execute();
    ASSERT_TRUE(testsupport::WaitFor([&] { return SitsIn(2); }, 20s));
    ASSERT_TRUE(in_.RemoveDevice("USB Audio Device"));
    EXPECT_EQ(engine_->WaitForRunEnd(5s), UpdateOutcome::DeviceGone);
    EXPECT_EQ(Errors(), Log{Error(IDS_TRANSFER_ERROR)});
    EXPECT_EQ(out_.GetCounters().watches, 0u) << "the run's end ends its watch";
}

TEST_F(UpdateRun, ADeviceThatAnswersFinishAndThenLeavesHasCompleted) {
    // Ticks by hand, so that the answer and the leaving meet in one tick.
    platform::ManualTimerService& ticks = manualTimers_;
    Connect(QuickDevice(), 30000, &ticks);
    Execute();
    // No tick once the device has the FINISH: a tick between its answer's arrival and the next
    // look would hand the answer over, and the run would end before the device leaves.
    ASSERT_TRUE(testsupport::WaitFor([&] {
        if (Sim().Summary().finishSeen) return engine_->HasPendingDeviceMessages();
        ticks.Tick(timerId_);
        return false;
    }, 20s)) << "FINISH was not answered";
    link_->Vanish();
    ticks.Tick(timerId_);  // hands the answer over, then tells that the device has gone
    EXPECT_EQ(engine_->WaitForRunEnd(5s), UpdateOutcome::Completed);
    EXPECT_TRUE(Errors().empty());
}

// A message of the run that does not go out ends the run at once, before its wait: the ERASE,
// or a block.
TEST_F(UpdateRun, AMessageThatCannotBeSentEndsTheRunAtOnceWithATransferError) {
    auto slow = QuickDevice();
    slow.answerDelayMin = slow.answerDelayMax = 200ms;  // time to refuse the ERASE after the request
    Connect(slow, 30000);
    Execute();
    ASSERT_TRUE(testsupport::WaitFor([&] { return Sim().Summary().identityRequests > 0; }));
    out_.RefuseNextSends(link_->OutputDevice(), 1);
    EXPECT_EQ(engine_->WaitForRunEnd(5s), UpdateOutcome::SendFailed);
    EXPECT_EQ(Errors(), Log{Error(IDS_TRANSFER_ERROR)});
    EXPECT_FALSE(Sim().Summary().eraseSeen);
    EXPECT_TRUE(host_.Entries("status:Erasing").empty()) << "no erase wait without an ERASE";
    EXPECT_EQ(engine_->PhaseReached(), RunPhase::Erase);
    TearDown();
    host_.Clear();
    SetUp();

    auto c = QuickDevice();
    c.eraseDelay = 300ms;
    Connect(c, 30000);
    Execute();
    ASSERT_TRUE(testsupport::WaitFor([&] { return !host_.Entries("status:Erasing").empty(); }));
    out_.SetRefuseAllSends(link_->OutputDevice(), true);
    EXPECT_EQ(engine_->WaitForRunEnd(5s), UpdateOutcome::SendFailed);
    EXPECT_EQ(Errors(), Log{Error(IDS_TRANSFER_ERROR)});
    EXPECT_TRUE(Sim().Summary().blocks.empty());
    EXPECT_EQ(engine_->PhaseReached(), RunPhase::Transfer);
}

TEST_F(UpdateRun, AfterTheDeviceLeftTheNextRunOnTheDevicePluggedInAgainCompletes) {
    Connect(DeviceThatHolds(1), 30000);
    Execute();
    ASSERT_TRUE(testsupport::WaitFor([&] { return SitsIn(1); }, 20s));
    link_->Vanish();
    ASSERT_EQ(engine_->WaitForRunEnd(5s), UpdateOutcome::DeviceGone);
    ASSERT_TRUE(CUpdateEngine::WaitForWorkers(5s));
    EXPECT_TRUE(engine_->MidiOutDeviceNames().empty());

    // Plugged in again; the rescan lists it and the lists select it.
    link_ = std::make_unique<devsim::LoopbackLink>(out_, in_, "USB Audio Device", QuickDevice());
    ASSERT_EQ(engine_->MidiOutDeviceNames(), std::vector<std::string>{"USB Audio Device"});
    ASSERT_EQ(engine_->MidiInDeviceNames(), std::vector<std::string>{"USB Audio Device"});
    engine_->SelectMidiOut(0);
    host_.Clear();
    EXPECT_EQ(RunToEnd(), UpdateOutcome::Completed);
    std::string verdict;
    EXPECT_TRUE(Sim().Verdict(&verdict)) << verdict;
}

// Closing the window while a block is with a device that takes its time (as one behind a cable
// does): the send is abandoned, so the worker ends at once rather than after the output's own
// wait for the message (about 12 s for a block).
TEST_F(UpdateRun, ClosingDuringASendThatTheDeviceHoldsAbandonsItAndTheWorkerEndsAtOnce) {
    Connect(QuickDevice(), 30000);
    Execute();
    ASSERT_TRUE(testsupport::WaitFor([&] { return Sim().Summary().blocks.size() >= 3; }, 20s));
    const auto sends = out_.GetCounters().sends;
    out_.SetHoldSends(link_->OutputDevice(), true);
    ASSERT_TRUE(testsupport::WaitFor([&] { return out_.GetCounters().sends > sends; }))
        << "no message went to the device";
    const Log before = HostLog();
    engine_->OnWindowClosing();
    EXPECT_TRUE(CUpdateEngine::WaitForWorkers(CUpdateEngine::WORKER_END_LIMIT)) << "the send was not abandoned";
    EXPECT_EQ(engine_->WaitForRunEnd(5s), UpdateOutcome::WindowClosed);
    EXPECT_EQ(HostLog(), before) << "the run touched the window after it closed";
    const auto counters = out_.GetCounters();
    EXPECT_EQ(counters.abandons, 1u);
    EXPECT_EQ(counters.openHandles, 0u);
    EXPECT_EQ(counters.prepares, counters.unprepares);
}

// Closing right after "Execute" comes, more often than not, before the worker has opened the
// output for the Identity Request: the abandoned output does not open, and that is no box.
TEST_F(UpdateRun, ClosingBeforeTheIdentityRequestGoesOutShowsNoBox) {
    for (int round = 0; round < 20; ++round) {
        Connect(QuickDevice(), 30000);
        ASSERT_TRUE(Execute());
        engine_->OnWindowClosing();
        EXPECT_EQ(engine_->WaitForRunEnd(5s), UpdateOutcome::WindowClosed) << "round " << round;
        EXPECT_TRUE(Errors().empty()) << "round " << round;
        TearDown();
        host_.Clear();
        SetUp();
    }
}

TEST_F(UpdateRun, ClosingAtRandomMomentsNeverLeavesTheRunBehindOrTouchesFreedState) {
    std::mt19937 random(12345);
    for (int round = 0; round < 12; ++round) {
        auto c = QuickDevice();
        c.seed = static_cast<std::uint32_t>(round + 1);
        Connect(c, 30000);
        Execute();
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 120));
        // As the window does: close, release the timer, let go of the engine. The worker may be
        // anywhere; it keeps its share of the engine until it has ended.
        engine_->OnWindowClosing();
        engine_->ReleaseTimer();
        const std::weak_ptr<CUpdateEngine> released = engine_;
        engine_.reset();
        ASSERT_TRUE(CUpdateEngine::WaitForWorkers(10s)) << "round " << round;
        // The program may end right after the wait: the worker has let go of the engine by then,
        // so its destruction never runs on the worker after the program has moved on.
        EXPECT_TRUE(released.expired()) << "round " << round;
        link_.reset();
        host_.Clear();
        g_modelId = g_acceptedModels[0];
    }
}

}  // namespace
