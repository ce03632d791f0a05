// Whole update runs against devices whose answers come out of step with the host's messages: a
// device that takes 150 ms over each block (or answers at once) and sends one answer a second time
// some milliseconds after the first, then refuses the block after it once, storing every block at
// its own address. With the product's poll period and pause, every run either sends the refused
// block again and completes with the whole image on the device, or ends with a transfer error
// because its answers went out of step; never "Version update completed." with a block refused
// and never sent again. A device that repeats its answers at once, from ERASE's on, completes.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include "EngineTexts.h"
#include "FirmwareImage.h"
#include "LoopbackLink.h"
#include "Messages.h"
#include "RecordingHost.h"
#include "UpdateEngine.h"
#include "platform/PosixTimerService.h"

namespace {

using namespace std::chrono_literals;

enum class After { Erase, Block3 };
enum class Device { Slow, Fast };

using Case = std::tuple<After, Device, int /* repeat after, ms */>;

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    const auto [after, device, ms] = info.param;
    return std::string(device == Device::Slow ? "Slow" : "Fast") + "DeviceRepeatsItsAnswerTo" +
           (after == After::Erase ? "Erase" : "Block3") + "After" + std::to_string(ms) + "ms";
}

class OutOfStepAnswers : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        g_modelId = g_acceptedModels[0];
        SetIdentityReplyModel(0x00);
    }
    void TearDown() override {
        if (engine_) {
            engine_->OnWindowClosing();
            EXPECT_TRUE(CUpdateEngine::WaitForWorkers(10s));
            engine_->ReleaseTimer();
            engine_.reset();
        }
        link_.reset();
        g_modelId = g_acceptedModels[0];
        SetIdentityReplyModel(0x00);
    }

    // The device of the case; its refusal comes right behind the repeated answer.
    static devsim::DeviceSimulatorConfig DeviceOf(const Case& c) {
        const auto [after, device, ms] = c;
        devsim::DeviceSimulatorConfig config;
        config.answerDelayMin = 0ms;
        config.answerDelayMax = 1ms;
        if (device == Device::Slow) config.blockAnswerDelay = 150ms;
        config.storeAtAddress = true;
        config.repeats = {{after == After::Erase ? -1 : 3, std::chrono::milliseconds(ms)}};
        config.refusals = {{after == After::Erase ? 0 : 4, 1, 1}};
        config.expectedImage.assign(LoadFirmwareImage(), LoadFirmwareImage() + IMAGE_SIZE);
        return config;
    }

    // One whole run with the product's tick and pause; how it ended.
    std::optional<UpdateOutcome> Run(devsim::DeviceSimulatorConfig config) {
        link_ = std::make_unique<devsim::LoopbackLink>(out_, in_, "USB Audio Device", std::move(config));
        EngineTimings t;  // the product's poll period, pause and repeat window
        t.replyTimeoutMs = 20000;
        engine_ = std::make_shared<CUpdateEngine>(std::shared_ptr<IUpdateHost>(&host_, [](IUpdateHost*) {}),
                                                  EnginePlatform{&out_, &in_, &timers_}, t);
        engine_->SelectMidiOut(0);
        EXPECT_NE(engine_->StartPollTimer(), 0u);
        EXPECT_TRUE(engine_->OnExecute(0));
        const std::optional<UpdateOutcome> outcome = engine_->WaitForRunEnd(120s);
        EXPECT_TRUE(CUpdateEngine::WaitForWorkers(10s));
        return outcome;
    }

    devsim::DeviceSimulator& Sim() { return link_->Simulator(); }

    platform::LoopbackMidiOut out_;
    platform::LoopbackMidiIn in_;
    platform::PosixTimerService timers_;
    testsupport::RecordingHost host_;
    std::unique_ptr<devsim::LoopbackLink> link_;
    std::shared_ptr<CUpdateEngine> engine_;
};

TEST_P(OutOfStepAnswers, EndEitherWithTheWholeImageOrWithATransferErrorNeverCompletedWithARefusedBlock) {
    const auto [after, device, ms] = GetParam();
    const std::optional<UpdateOutcome> outcome = Run(DeviceOf(GetParam()));
    ASSERT_TRUE(outcome.has_value()) << "the run did not end";
    std::string verdict;
    const bool whole = Sim().Verdict(&verdict);
    const int refusedBlock = after == After::Erase ? 0 : 4;
    const auto blocks = Sim().Summary().blocks;
    const auto refused = blocks.find(IMAGE_BASE_ADDRESS + static_cast<std::uint32_t>(refusedBlock * BLOCK_SIZE));

    if (*outcome == UpdateOutcome::Completed) {
        EXPECT_TRUE(whole) << "\"Version update completed.\" but " << verdict;
        ASSERT_NE(refused, blocks.end());
        EXPECT_GE(refused->second.accepted, 1) << "the refused block was never sent again";
        EXPECT_TRUE(host_.Entries("error:").empty());
    } else {
        EXPECT_EQ(*outcome, UpdateOutcome::AnswersOutOfStep) << verdict;
        EXPECT_EQ(host_.Entries("error:"), std::vector<std::string>{"error:" + ErrorText(EngineError::TransferError)});
        EXPECT_TRUE(engine_->AnswerOutOfStep().has_value());
    }
    // A device that repeats its answer to ERASE at once repeats its answers: the run completes.
    // (One that repeats only a later answer gets no such allowance and may end either way.)
    if (ms <= 2 && after == After::Erase) {
        EXPECT_EQ(*outcome, UpdateOutcome::Completed) << verdict;
    }
    RecordProperty("ending", *outcome == UpdateOutcome::Completed ? "Completed" : "AnswersOutOfStep");
}

INSTANTIATE_TEST_SUITE_P(Repeats, OutOfStepAnswers,
                         ::testing::Combine(::testing::Values(After::Erase, After::Block3),
                                            ::testing::Values(Device::Slow, Device::Fast),
                                            ::testing::Values(2, 30, 70, 200)),
                         CaseName);

// A device that repeats every answer at once (all 36 blocks, ERASE and FINISH) completes.
TEST_F(OutOfStepAnswers, ADeviceThatRepeatsEveryAnswerAtOnceCompletesWithTheWholeImage) {
    auto config = DeviceOf({After::Erase, Device::Fast, 2});
    config.refusals.clear();
    config.repeats.clear();
    config.repeats.push_back({-1, 2ms});
    for (int block = 0; block < 36; ++block) config.repeats.push_back({block, 2ms});
    EXPECT_EQ(Run(config), UpdateOutcome::Completed);
    std::string verdict;
    EXPECT_TRUE(Sim().Verdict(&verdict)) << verdict;
    EXPECT_GE(engine_->RepeatsAtOnce(), 37u);
}

}  // namespace
