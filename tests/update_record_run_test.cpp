// A whole update run recorded the way a window records it: its host hands every status to an
// UpdateRecorder, and the record of the run's end goes into a history file. Against the simulated
// device over loopback MIDI devices, with the real poll timer and short time-outs.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <mutex>

#include "FirmwareImage.h"
#include "LoopbackLink.h"
#include "Messages.h"
#include "TestSupport.h"
#include "UpdateEngine.h"
#include "UpdateHistory.h"
#include "UpdateRecord.h"
#include "platform/PosixTimerService.h"

namespace {

using namespace std::chrono_literals;

// The window's part: every request is served at once; the statuses go to the recorder.
class RecordingWindow final : public IUpdateHost {
public:
    bool ShowStatus(const RunStatus& status) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_recorder.OnStatus(status);
        return true;
    }
    bool SetProgressPos(int) override { return true; }
    bool EnableControl(HostControl, bool) override { return true; }
    bool ShowError(EngineError) override { return true; }
    void DeviceIdentified(const DeviceIdentity& identity) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_recorder.OnIdentity(identity);
    }

    void Start() {
        std::lock_guard<std::mutex> lock(m_lock);
        m_recorder.Start("USB Audio Device", "USB Audio Device");
    }
    UpdateRecord Finish(const std::string& ending) {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_recorder.Finish(ending);
    }

private:
    std::mutex m_lock;  // the worker's and the timer thread's requests
    UpdateRecorder m_recorder;
};

class RecordedRun : public ::testing::Test {
protected:
    void TearDown() override {
        if (m_engine) {
            m_engine->OnWindowClosing();
            EXPECT_TRUE(CUpdateEngine::WaitForWorkers(10s));
            m_engine->ReleaseTimer();
            m_engine.reset();
        }
        m_link.reset();
        g_modelId = g_acceptedModels[0];
        SetIdentityReplyModel(0x00);
    }

    // Runs one update against a device set up by `config`; the record of the run.
    UpdateRecord Run(devsim::DeviceSimulatorConfig config) {
        Start(std::move(config));
        return Finish();
    }

    // Starts one update against a device set up by `config`.
    void Start(devsim::DeviceSimulatorConfig config) {
        config.answerDelayMin = 0ms;
        config.answerDelayMax = 1ms;
        m_link = std::make_unique<devsim::LoopbackLink>(m_out, m_in, "USB Audio Device", std::move(config));
        EngineTimings t;
        t.replyTimeoutMs = 2000;  // never met by a device that answers at once, also on a loaded machine
        t.blockPauseMs = 1;
        t.pollPeriodMs = 2;
        m_engine = std::make_shared<CUpdateEngine>(std::shared_ptr<IUpdateHost>(&m_window, [](IUpdateHost*) {}),
                                                   EnginePlatform{&m_out, &m_in, &m_timers}, t);
        m_engine->SelectMidiOut(0);
        EXPECT_NE(m_engine->StartPollTimer(), 0u);
        m_window.Start();
        EXPECT_TRUE(m_engine->OnExecute(0));
    }

    // Waits for the end of the run started last; its record.
    UpdateRecord Finish() {
        const auto outcome = m_engine->WaitForRunEnd(30s);
        EXPECT_TRUE(outcome.has_value());
        return m_window.Finish(outcome ? EndingName(*outcome) : ENDING_NO_END);
    }

    platform::LoopbackMidiOut m_out;
    platform::LoopbackMidiIn m_in;
    platform::PosixTimerService m_timers;
    RecordingWindow m_window;
    std::unique_ptr<devsim::LoopbackLink> m_link;
    std::shared_ptr<CUpdateEngine> m_engine;
};

TEST_F(RecordedRun, ACompletedRunRecordsTheModelAndEverySendOfARefusedBlock) {
    devsim::DeviceSimulatorConfig device;
    device.model = 0x69;
    device.refusals = {{3, 2}, {35, 1}};
    const UpdateRecord record = Run(device);
    EXPECT_EQ(record.ending, "Completed");
    EXPECT_EQ(record.model, std::optional<std::uint8_t>(0x69));
    std::vector<int> expected(36, 1);
    expected[3] = 3;
    expected[35] = 2;
    EXPECT_EQ(record.blockSends, expected);
    EXPECT_EQ(record.BlocksSentAgain(), 3);
}

TEST_F(RecordedRun, ABlockRefusedSevenTimesEndsTheRecordThere) {
    devsim::DeviceSimulatorConfig device;
    device.refusals = {{5, 7}};
    const UpdateRecord record = Run(device);
    EXPECT_EQ(record.ending, "TransferError");
    std::vector<int> expected(36, 0);
    for (int b = 0; b < 5; ++b) expected[static_cast<std::size_t>(b)] = 1;
    expected[5] = 7;
    EXPECT_EQ(record.blockSends, expected);
}

TEST_F(RecordedRun, AnIllegalDeviceIsRecordedWithTheModelItReported) {
    devsim::DeviceSimulatorConfig device;
    device.identityModel = 0x42;
    const UpdateRecord record = Run(device);
    EXPECT_EQ(record.ending, "IllegalDevice");
    EXPECT_EQ(record.model, std::optional<std::uint8_t>(0x42));
    EXPECT_EQ(record.BlocksSentAgain(), 0);
}

TEST_F(RecordedRun, TheSoftwareRevisionBytesOfTheIdentityReplyReachTheRecordAsTheyCame) {
    // The simulated device answers with the revision bytes 31 30 30 30.
    UpdateRecord record = Run(devsim::DeviceSimulatorConfig{});
    EXPECT_EQ(record.ending, "Completed");
    EXPECT_EQ(record.softwareRevision, (SoftwareRevision{0x31, 0x30, 0x30, 0x30}));
    EXPECT_NE(RecordJson(record).find("\"model\":\"0x6A\",\"software_revision\":\"31 30 30 30\",\"program_version\""),
              std::string::npos)
        << RecordJson(record);
    TearDown();

    // A device of another model that answers with a reply of its own: the run refuses it, and its
    // record still tells what it was.
    devsim::DeviceSimulatorConfig mute;
    mute.mute = true;
    Start(mute);
    ASSERT_TRUE(testsupport::WaitFor([&] { return m_link->Simulator().Summary().identityRequests > 0; }, 10s));
    const std::vector<std::uint8_t> reply = {0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x7D, 0x42, 0x00,
                                             0x01, 0x00, 0x01, 0x23, 0x45, 0x7F, 0xF7};
    ASSERT_TRUE(m_in.Deliver("USB Audio Device", reply));
    record = Finish();
    EXPECT_EQ(record.ending, "IllegalDevice");
    EXPECT_EQ(record.model, std::optional<std::uint8_t>(0x42));
    EXPECT_EQ(record.softwareRevision, (SoftwareRevision{0x01, 0x23, 0x45, 0x7F}));
    const auto back = ParseRecordJson(RecordJson(record));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->softwareRevision, record.softwareRevision);
    EXPECT_NE(RecordJson(record).find("\"software_revision\":\"01 23 45 7F\""), std::string::npos);
}

TEST_F(RecordedRun, EachRunAddsItsLineToTheHistory) {
    const auto folder = std::filesystem::temp_directory_path() / "tarnet-recorded-run-test";
    std::filesystem::remove_all(folder);
    const std::string path = (folder / "history.jsonl").string();
    devsim::DeviceSimulatorConfig device;
    device.refusals = {{0, 7}};
    ASSERT_TRUE(AppendHistoryTo(path, Run(device)));
    const HistoryContents history = ReadHistory(path);
    ASSERT_EQ(history.records.size(), 1u);
    EXPECT_EQ(history.records[0].ending, "TransferError");
    EXPECT_EQ(history.records[0].blockSends[0], 7);
    std::filesystem::remove_all(folder);
}

}  // namespace
