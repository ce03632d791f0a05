// The main window's controller, once for both windows: driven through a window without a toolkit
// whose UI thread is the test's own, against a simulated device on in-process MIDI devices.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CUpdatorController.h"
#include "DeviceNames.h"
#include "SimulatedMidiSystem.h"
#include "TestSupport.h"
#include "UiRequestQueue.h"
#include "UpdateEngine.h"
#include "UpdateHistory.h"

using namespace std::chrono_literals;
using windowtest::DEVICE;
using windowtest::RigOptions;

namespace {

const std::vector<bool> READY{true, true, true, true};
const std::vector<bool> RUNNING{false, false, false, false};
const std::vector<bool> COMPLETED{true, true, false, true};

struct Box {
    std::string caption;
    std::string text;
    friend bool operator==(const Box&, const Box&) = default;
};

// A window without a toolkit. Its UI thread is the thread that constructed it; the engine's
// requests wait in the queue until that thread calls Serve(). Everything it records is written and
// read on that thread only.
class FakeWindow final : public CUpdatorController {
public:
    explicit FakeWindow(UpdatorServices services) : CUpdatorController(OpenQueue(), std::move(services)) {}

    // The UI thread's message loop, one turn: every waiting request runs.
    void Serve() {
        while (Requests().WaitingCount() > 0) Requests().ServeNext();
    }
    std::size_t WaitingRequests() const { return Requests().WaitingCount(); }
    // The user picks another entry of a list (the controller hears of MIDI OUT picks through
    // OnMidiOutSelChange, as from a list that reports the change).
    void Pick(DeviceList list, int entry) { m_selection[Index(list)] = entry; }

    const std::vector<std::string>& Entries(DeviceList list) const { return m_entries[Index(list)]; }
    int Selection(DeviceList list) const { return m_selection[Index(list)]; }
    std::vector<bool> Enabled() const { return std::vector<bool>(m_enabled.begin(), m_enabled.end()); }

    std::string title;
    std::string status;
    std::vector<std::string> statusTexts;  // every text written, in order
    int progressMaximum = -1;
    int progress = -1;
    std::vector<int> positions;  // every position set after the initialisation
    std::vector<Box> boxes;
    // Runs on the UI thread right after a control changed, while the request that changed it is
    // being served.
    std::function<void(HostControl, bool)> onEnable;

private:
    static std::shared_ptr<UiRequestQueue> OpenQueue() {
        const std::thread::id ui = std::this_thread::get_id();
        return std::make_shared<UiRequestQueue>([ui] { return std::this_thread::get_id() == ui; }, [] {});
    }
    static std::size_t Index(DeviceList list) { return list == DeviceList::MidiIn ? 0 : 1; }

    void FillDeviceList(DeviceList list, const std::vector<std::string>& names, int selection) override {
        m_entries[Index(list)] = names;
        m_selection[Index(list)] = selection;
    }
    int DeviceListSelection(DeviceList list) const override { return m_selection[Index(list)]; }
    void SetTitle(const std::string& text) override { title = text; }
    void SetStatusText(const std::string& text) override {
        status = text;
        statusTexts.push_back(text);
    }
    void SetProgressRange(int maximum) override { progressMaximum = maximum; }
    void SetProgressPos(int position) override {
        if (progressMaximum >= 0 && progress >= 0) positions.push_back(position);
        progress = position;
    }
    void EnableControl(HostControl control, bool enable) override {
        m_enabled[static_cast<std::size_t>(control)] = enable;
        if (onEnable) onEnable(control, enable);
    }
    void ShowErrorBox(const std::string& caption, const std::string& text) override {
        boxes.push_back({caption, text});
    }

    std::array<std::vector<std::string>, 2> m_entries;
    std::array<int, 2> m_selection{-1, -1};
    std::array<bool, 4> m_enabled{true, true, true, true};  // in the order of HostControl
};

using List = IUpdatorWindow::DeviceList;

// A fake window over an engine on the loopback devices and a real timer thread, initialised as a
// window is when it first shows.
class Rig {
public:
    // `history`: the records go to the product's history of updates instead of the rig's list.
    explicit Rig(const RigOptions& options = {}, bool history = false) : m_system(options) {
        UpdatorServices services;
        const int instance = options.instanceNumber;
        services.instanceNumber = [instance] { return instance; };
        services.createEngine = m_system.EngineFactory(options.timings);
        if (!history) {
            services.recordRun = [this](const UpdateRecord& record) {
                std::lock_guard<std::mutex> lock(m_recordsLock);
                m_records.push_back(record);
            };
        }
        m_window = std::make_unique<FakeWindow>(services);
        m_window->OnInitDialog();
    }

    ~Rig() {
        Release();
        // A run whose window went away ends at its next wait; it must be gone before the devices.
        EXPECT_TRUE(CUpdateEngine::WaitForWorkers(10s));
        m_system.RemoveDevice();
    }

    FakeWindow& Window() { return *m_window; }
    CUpdateEngine& Engine() { return *m_window->Engine(); }
    void UnplugDevice() { m_system.UnplugDevice(); }
    devsim::DeviceSimulator& Device() { return m_system.Device(); }
    platform::LoopbackMidiOut& Out() { return m_system.Out(); }
    platform::LoopbackMidiIn& In() { return m_system.In(); }
    // Releases the window object, as the end of the modal run does.
    void Release() { m_window.reset(); }

    // Runs the UI thread's loop until `condition` holds or `timeout` has passed.
    bool PumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 30s) {
        return testsupport::WaitFor([&] {
            m_window->Serve();
            return condition();
        }, timeout);
    }
    void PumpFor(std::chrono::milliseconds duration) {
        const auto end = std::chrono::steady_clock::now() + duration;
        PumpUntil([&] { return std::chrono::steady_clock::now() >= end; }, duration + 1s);
    }
    int Running() { return Engine().IsUpdateRunning() ? 1 : 0; }
    // Until a run has completed: the controls are back and "Execute" has been disabled again.
    bool WaitForCompletion() {
        return PumpUntil([&] { return Running() == 0 && m_window->Enabled() == COMPLETED; });
    }
    // Until the window is Ready again after a run that ended with an error.
    bool WaitForReady() {
        return PumpUntil([&] { return Running() == 0 && m_window->Enabled() == READY; });
    }
    // The records that the window handed on so far (any thread may hand one on).
    std::vector<UpdateRecord> Records() {
        std::lock_guard<std::mutex> lock(m_recordsLock);
        return m_records;
    }

private:
    std::mutex m_recordsLock;
    std::vector<UpdateRecord> m_records;  // guarded by m_recordsLock
    windowtest::SimulatedMidiSystem m_system;
    std::unique_ptr<FakeWindow> m_window;
};

const std::string JAPANESE = DEFAULT_DEVICE_NAMES[0];

}  // namespace

TEST(MainWindowController, StartsReadyWithTitleProgressRangeAndTheDefaultDevicesSelected) {
    RigOptions options;
    // Device order is list order; the last exact default match wins, whichever name it equals.
    options.outDevicesBefore = {JAPANESE, "usb audio device", "USB Audio Device 2"};
    options.inDevicesBefore = {"Other MIDI In"};
    Rig rig(options);
    FakeWindow& w = rig.Window();

    EXPECT_EQ(w.title, "Tarnet System Ver 1.10 Updater");
    EXPECT_EQ(w.Enabled(), READY);
    EXPECT_EQ(rig.Running(), 0);
    EXPECT_EQ(w.progressMaximum, 327680);
    EXPECT_EQ(w.progress, 0);
    EXPECT_TRUE(w.statusTexts.empty());
    EXPECT_EQ(w.Entries(List::MidiOut),
              (std::vector<std::string>{JAPANESE, "usb audio device", "USB Audio Device 2", DEVICE}));
    EXPECT_EQ(w.Selection(List::MidiOut), 3);
    EXPECT_EQ(rig.Engine().MidiOutSelection(), 3);
    EXPECT_EQ(w.Entries(List::MidiIn), (std::vector<std::string>{"Other MIDI In", DEVICE}));
    EXPECT_EQ(w.Selection(List::MidiIn), 1);
}

TEST(MainWindowController, ListsSelectTheLastExactDefaultMatchAndRescanReplacesAUsersPick) {
    RigOptions options;
    options.withDevice = false;
    options.outDevicesBefore = {DEVICE, "usb audio device", DEVICE, "USB Audio Device X"};
    options.inDevicesBefore = {JAPANESE, "Other", DEVICE};
    Rig rig(options);
    FakeWindow& w = rig.Window();
    EXPECT_EQ(w.Selection(List::MidiOut), 2);
    EXPECT_EQ(w.Selection(List::MidiIn), 2);

    // The user's pick reaches the engine; "Rescan Device" puts the default match back.
    w.Pick(List::MidiOut, 3);
    w.OnMidiOutSelChange();
    EXPECT_EQ(rig.Engine().MidiOutSelection(), 3);
    w.Pick(List::MidiIn, 1);
    w.OnRescanDevice();
    EXPECT_EQ(w.Selection(List::MidiOut), 2);
    EXPECT_EQ(rig.Engine().MidiOutSelection(), 2);
    EXPECT_EQ(w.Selection(List::MidiIn), 2);
    EXPECT_EQ(w.Entries(List::MidiOut).size(), 4u);

    // Devices that go away: the rescan shows the system's list as it is now.
    rig.In().RemoveDevice(DEVICE);
    rig.In().RemoveDevice(JAPANESE);
    w.OnRescanDevice();
    EXPECT_EQ(w.Entries(List::MidiIn), std::vector<std::string>{"Other"});
    EXPECT_EQ(w.Selection(List::MidiIn), -1);
}

TEST(MainWindowController, ASecondCopySelectsOnlyTheDevicesWithItsNumberAndShowsItInTheTitle) {
    RigOptions options;
    options.instanceNumber = 3;
    // The plain default names are not this copy's; the Japanese one with " (3)" is.
    options.outDevicesBefore = {"USB Audio Device (3)", JAPANESE + " (3)", "USB Audio Device (2)"};
    options.inDevicesBefore = {JAPANESE, "USB Audio Device (30)"};
    Rig rig(options);
    FakeWindow& w = rig.Window();
    EXPECT_EQ(w.title, "Tarnet System Ver 1.10 Updater (3)");
    EXPECT_EQ(w.Selection(List::MidiOut), 1);
    EXPECT_EQ(w.Selection(List::MidiIn), -1);
}

TEST(MainWindowController, WithNoDevicesTheListsAreEmptyAndExecuteReportsTheMidiInput) {
    RigOptions options;
    options.withDevice = false;
    Rig rig(options);
    FakeWindow& w = rig.Window();
    EXPECT_TRUE(w.Entries(List::MidiIn).empty());
    EXPECT_TRUE(w.Entries(List::MidiOut).empty());
    EXPECT_EQ(w.Selection(List::MidiIn), -1);
    EXPECT_EQ(w.Selection(List::MidiOut), -1);
    EXPECT_EQ(w.Enabled(), READY);

    w.OnExecute();
    EXPECT_EQ(w.boxes, (std::vector<Box>{{"Error", "Can't open MIDI In device."}}));
    EXPECT_EQ(w.Enabled(), READY);
    EXPECT_EQ(rig.Running(), 0);
}

TEST(MainWindowController, AWholeUpdateGoesFromReadyThroughRunningToCompletedAndRescanEnablesExecute) {
    Rig rig;
    FakeWindow& w = rig.Window();
    w.OnExecute();
    EXPECT_EQ(w.Enabled(), RUNNING);
    EXPECT_EQ(rig.Running(), 1);
    ASSERT_TRUE(rig.WaitForCompletion());

    EXPECT_TRUE(w.boxes.empty());
    EXPECT_EQ(w.status, "Version update completed.");
    EXPECT_EQ(w.progress, 327680);
    EXPECT_EQ(rig.Engine().WaitForRunEnd(1s), UpdateOutcome::Completed);
    std::string verdict;
    EXPECT_TRUE(rig.Device().Verdict(&verdict)) << verdict;

    // "Erasing Flash memory.", cleared when the device answered, then one text per block sent.
    ASSERT_EQ(w.statusTexts.size(), 2u + 36u + 1u);
    EXPECT_EQ(w.statusTexts[0], "Erasing Flash memory.");
    EXPECT_EQ(w.statusTexts[1], "");
    EXPECT_EQ(w.statusTexts[2], "Data transmit  0 / 327680 ");
    EXPECT_EQ(w.statusTexts[3], "Data transmit  9216 / 327680 ");
    EXPECT_EQ(w.statusTexts[37], "Data transmit  322560 / 327680 ");
    ASSERT_EQ(w.positions.size(), 36u);
    EXPECT_EQ(w.positions.front(), 9216);
    EXPECT_EQ(w.positions[34], 322560);
    EXPECT_EQ(w.positions.back(), 327680);

    // "Rescan Device" gives "Execute" back and leaves the status alone.
    w.OnRescanDevice();
    EXPECT_EQ(w.Enabled(), READY);
    EXPECT_EQ(w.status, "Version update completed.");
}

TEST(MainWindowController, AnErrorEndingShowsItsBoxAndLeavesTheWindowReadyWithItsProgress) {
    RigOptions options;
    options.device.eraseStatus = devsim::STATUS_NOT_IN_VERSION_UP;
    Rig rig(options);
    FakeWindow& w = rig.Window();
    w.OnExecute();
    ASSERT_TRUE(rig.WaitForReady());
    EXPECT_EQ(w.boxes, (std::vector<Box>{{"Error", "Please set the Version-up mode."}}));
    // The run clears "Erasing Flash memory." once the device has answered.
    EXPECT_EQ(w.status, "");
    EXPECT_EQ(w.progress, 0);
    EXPECT_EQ(rig.Engine().WaitForRunEnd(1s), UpdateOutcome::NotInVersionUpMode);
}

TEST(MainWindowController, ADeviceUnpluggedDuringTheEraseShowsTheTransferErrorAtOnceAndTheRescanNoLongerListsIt) {
    RigOptions options;
    options.device.eraseDelay = 60000ms;  // the erase wait has no time-out
    Rig rig(options);
    FakeWindow& w = rig.Window();
    w.OnExecute();
    ASSERT_TRUE(rig.PumpUntil([&] { return w.status == "Erasing Flash memory."; }));
    rig.UnplugDevice();
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.Running() == 0 && w.Enabled() == READY; }, 5s))
        << "the run did not end when its device went away";
    EXPECT_EQ(w.boxes, (std::vector<Box>{{"Error", "Transfer error occurred."}}));
    EXPECT_EQ(rig.Engine().WaitForRunEnd(1s), UpdateOutcome::DeviceGone);
    // The record names the ending the engine reached, not the box that announced it.
    ASSERT_EQ(rig.Records().size(), 1u);
    EXPECT_EQ(rig.Records()[0].ending, "DeviceGone");
    w.OnRescanDevice();
    EXPECT_TRUE(w.Entries(List::MidiIn).empty());
    EXPECT_TRUE(w.Entries(List::MidiOut).empty());
}

TEST(MainWindowController, ClosingWhileARunWaitsShowsNoBoxAndEndsTheRunInEveryPhase) {
    // Each round closes the window at another moment: waiting for the identity (device mute),
    // waiting for the erase, in the middle of the transfer, at once.
    struct Round {
        const char* what;
        bool mute;
        std::chrono::milliseconds eraseDelay;
        std::chrono::milliseconds closeAfter;
    };
    const Round rounds[] = {
        {"identity wait", true, 0ms, 30ms},
        {"erase wait", false, 60000ms, 100ms},
        {"transfer", false, 0ms, 200ms},
        {"at once", false, 0ms, 0ms},
    };
    for (int repeat = 0; repeat < 5; ++repeat) {
        for (const Round& round : rounds) {
            SCOPED_TRACE(std::string(round.what) + " round " + std::to_string(repeat));
            RigOptions options;
            options.device.mute = round.mute;
            options.device.eraseDelay = round.eraseDelay;
            Rig rig(options);
            FakeWindow& w = rig.Window();
            w.OnExecute();
            ASSERT_EQ(rig.Running(), 1);
            rig.PumpFor(round.closeAfter);
            const std::string statusBefore = w.status;
            const std::size_t textsBefore = w.statusTexts.size();
            w.OnDestroy();
            EXPECT_TRUE(w.IsDestroyed());
            EXPECT_FALSE(rig.Engine().IsInputStarted());
            // The run ends without a word and without touching the window.
            EXPECT_EQ(rig.Engine().WaitForRunEnd(10s), UpdateOutcome::WindowClosed);
            w.Serve();
            EXPECT_TRUE(w.boxes.empty());
            EXPECT_EQ(w.Enabled(), RUNNING);
            EXPECT_EQ(w.status, statusBefore);
            EXPECT_EQ(w.statusTexts.size(), textsBefore);
            // A closed window starts nothing.
            w.OnExecute();
            EXPECT_FALSE(rig.Engine().IsInputStarted());
        }
    }
}

TEST(MainWindowController, AWindowReleasedWithoutClosingStillEndsItsRunCleanly) {
    RigOptions options;
    options.device.mute = true;
    Rig rig(options);
    rig.Window().OnExecute();
    ASSERT_EQ(rig.Running(), 1);
    std::shared_ptr<IUpdateHost> host = rig.Window().Host();
    rig.Release();
    EXPECT_TRUE(CUpdateEngine::WaitForWorkers(10s));
    // Whatever is left of the window refuses at once.
    EXPECT_FALSE(host->ShowStatus({RunStatus::Kind::Erasing}));
}

TEST(MainWindowController, HostRequestsFromAnotherThreadRunOnTheUiThreadAndFailAtOnceOnceTheWindowIsGone) {
    RigOptions options;
    options.withDevice = false;
    Rig rig(options);
    FakeWindow& w = rig.Window();
    std::shared_ptr<IUpdateHost> host = w.Host();

    // Served while the UI thread runs its loop, in the order made.
    std::atomic<bool> served{false};
    std::thread caller([&] {
        served = host->ShowStatus({RunStatus::Kind::DataTransmit, 9216, 327680}) &&
                 host->SetProgressPos(9216) && host->EnableControl(HostControl::Rescan, false) &&
                 host->ShowError(EngineError::BlockTimeout);
    });
    const bool done = rig.PumpUntil([&] { return served.load(); }, 10s);
    if (!done) w.OnDestroy();  // releases the caller, so the join cannot hang
    caller.join();
    ASSERT_TRUE(done);
    EXPECT_EQ(w.status, "Data transmit  9216 / 327680 ");
    EXPECT_EQ(w.progress, 9216);
    EXPECT_EQ(w.Enabled(), (std::vector<bool>{true, true, true, false}));
    EXPECT_EQ(w.boxes, (std::vector<Box>{{"Error", "Time out error(2)"}}));

    // A request that waits while the window closes comes back "not run" instead of waiting for a
    // window that will never serve it.
    std::atomic<int> late{-1};
    std::thread lateCaller([&] { late = host->SetProgressPos(1000) ? 1 : 0; });
    // Not served: the request waits in the queue when the window closes.
    const bool queued = testsupport::WaitFor([&] { return w.WaitingRequests() == 1; }, 5s);
    w.OnDestroy();
    EXPECT_TRUE(queued);
    EXPECT_TRUE(testsupport::WaitFor([&] { return late != -1; }, 5s));
    lateCaller.join();
    EXPECT_EQ(late, 0);
    EXPECT_EQ(w.progress, 9216);

    // Afterwards every request fails at once, from any thread.
    std::atomic<int> after{-1};
    std::thread afterCaller([&] { after = host->EnableControl(HostControl::Execute, true) ? 1 : 0; });
    EXPECT_TRUE(testsupport::WaitFor([&] { return after != -1; }, 5s));
    afterCaller.join();
    EXPECT_EQ(after, 0);
    EXPECT_FALSE(host->ShowError(EngineError::TransferError));
    EXPECT_EQ(w.boxes.size(), 1u);
}

TEST(MainWindowController, TheEngineSendsToTheMidiOutDeviceSelectedInTheListAtEveryChange) {
    RigOptions options;
    options.withDevice = false;
    options.outDevicesBefore = {"A", DEVICE, "B"};
    Rig rig(options);
    FakeWindow& w = rig.Window();
    EXPECT_EQ(rig.Engine().MidiOutSelection(), 1) << "the default device after the first scan";
    w.Pick(List::MidiOut, 2);
    w.OnMidiOutSelChange();
    EXPECT_EQ(rig.Engine().MidiOutSelection(), 2);
    rig.Out().ClearEvents();
    EXPECT_EQ(rig.Engine().SendStatus(0), 0);
    EXPECT_EQ(rig.Out().Events(), (std::vector<std::string>{"open B", "send B", "close B"}));
    w.Pick(List::MidiOut, 0);
    w.OnRescanDevice();
    EXPECT_EQ(rig.Engine().MidiOutSelection(), 1) << "a rescan selects the default device again";
}

TEST(MainWindowControllerRecords, ACompletedRunIsRecordedOnceWithItsDevicesModelAndEveryBlockSend) {
    RigOptions options;
    options.device.refusals = {{2, 2}};
    Rig rig(options);
    FakeWindow& w = rig.Window();
    w.OnExecute();
    // "Execute" again while the run is under way starts no record of its own.
    w.OnExecute();
    ASSERT_TRUE(rig.WaitForCompletion());
    const std::vector<UpdateRecord> records = rig.Records();
    ASSERT_EQ(records.size(), 1u);
    const UpdateRecord& r = records[0];
    EXPECT_EQ(r.ending, "Completed");
    EXPECT_EQ(r.midiIn, DEVICE);
    EXPECT_EQ(r.midiOut, DEVICE);
    EXPECT_EQ(r.model, std::optional<std::uint8_t>(0x6A));
    // The simulated device's Identity Reply carries the revision bytes 31 30 30 30; being a
    // software device, it has no USB unit.
    EXPECT_EQ(r.softwareRevision, (SoftwareRevision{0x31, 0x30, 0x30, 0x30}));
    EXPECT_EQ(r.usbSerial, std::nullopt);
    EXPECT_EQ(r.usbPath, std::nullopt);
    std::vector<int> sends(36, 1);
    sends[2] = 3;
    EXPECT_EQ(r.blockSends, sends);
    EXPECT_LE(r.start, r.end);
}

TEST(MainWindowControllerRecords, TheRecordNamesTheUnitOfTheMidiOutDeviceAsTheListingToldIt) {
    RigOptions options;
    options.deviceUnit = {"A1B2C3", "1-1.2"};
    Rig rig(options);
    FakeWindow& w = rig.Window();
    w.OnExecute();
    ASSERT_TRUE(rig.WaitForCompletion());
    ASSERT_EQ(rig.Records().size(), 1u);
    EXPECT_EQ(rig.Records()[0].usbSerial, std::optional<std::string>("A1B2C3"));
    EXPECT_EQ(rig.Records()[0].usbPath, std::optional<std::string>("1-1.2"));

    // A unit without a serial number keeps only its place; a rescan picks up what changed.
    rig.Out().SetUnit(rig.Out().DeviceAt(0), {"", "3-2"});
    w.OnRescanDevice();
    w.OnExecute();
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.Records().size() == 2u && rig.Running() == 0; }));
    const UpdateRecord second = rig.Records()[1];
    EXPECT_EQ(second.ending, "Completed");
    EXPECT_EQ(second.usbSerial, std::nullopt);
    EXPECT_EQ(second.usbPath, std::optional<std::string>("3-2"));
}

TEST(MainWindowControllerRecords, AnErrorEndingIsRecordedAndTheNextRunGetsARecordOfItsOwn) {
    RigOptions options;
    options.device.eraseStatus = devsim::STATUS_NOT_IN_VERSION_UP;
    Rig rig(options);
    FakeWindow& w = rig.Window();
    w.OnExecute();
    ASSERT_TRUE(rig.WaitForReady());
    w.OnExecute();
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.Records().size() == 2u && rig.Running() == 0; }));
    const std::vector<UpdateRecord> records = rig.Records();
    EXPECT_EQ(records[0].ending, "NotInVersionUpMode");
    EXPECT_EQ(records[1].ending, "NotInVersionUpMode");
    EXPECT_EQ(records[1].blockSends, std::vector<int>(36, 0));
}

TEST(MainWindowControllerRecords, ARunHasEndedWholeWhenExecuteComesBackSoAnImmediateSecondRunIsOnItsOwn) {
    RigOptions options;
    options.device.refusals = {{0, 7, 1}};  // the first run ends with a transfer error, the second completes
    Rig rig(options);
    FakeWindow& w = rig.Window();
    bool seen = false;
    std::size_t recordsAtRestore = 0;
    std::uint32_t watchesAtRestore = 99;
    std::optional<UpdateOutcome> endingAtRestore;
    w.onEnable = [&](HostControl control, bool enable) {
        if (control != HostControl::Execute || !enable || seen) return;
        seen = true;
        recordsAtRestore = rig.Records().size();
        watchesAtRestore = rig.Out().GetCounters().watches;
        endingAtRestore = rig.Engine().WaitForRunEnd(0ms);
    };
    w.OnExecute();
    // The user presses "Execute" again as soon as it works.
    ASSERT_TRUE(rig.PumpUntil([&] { return seen && rig.Running() == 0; }));
    w.OnExecute();
    EXPECT_EQ(rig.Running(), 1);
    EXPECT_EQ(rig.Out().GetCounters().watches, 1u) << "the second run watches its device";
    ASSERT_TRUE(rig.WaitForCompletion());
    EXPECT_EQ(rig.Engine().WaitForRunEnd(1s), UpdateOutcome::Completed);

    EXPECT_EQ(recordsAtRestore, 1u) << "the first run's record was not handed on yet";
    EXPECT_EQ(watchesAtRestore, 0u) << "the first run still watched its device";
    EXPECT_EQ(endingAtRestore, UpdateOutcome::TransferError) << "the first run's ending was not known yet";
    EXPECT_EQ(w.boxes, (std::vector<Box>{{"Error", "Transfer error occurred."}}));
    const std::vector<UpdateRecord> records = rig.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].ending, "TransferError");
    EXPECT_EQ(records[1].ending, "Completed");
    EXPECT_EQ(rig.Out().GetCounters().watches, 0u);
}

TEST(MainWindowControllerRecords, AnExecuteThatStartsNoRunRecordsNothingAndAClosedRunIsRecordedAsSuch) {
    RigOptions options;
    options.device.mute = true;
    Rig rig(options);
    FakeWindow& w = rig.Window();
    w.Pick(List::MidiIn, -1);
    w.OnExecute();  // "Can't open MIDI In device.": no run
    w.Serve();
    EXPECT_TRUE(rig.Records().empty());

    w.Pick(List::MidiIn, 0);
    w.OnExecute();
    ASSERT_EQ(rig.Running(), 1);
    rig.PumpFor(30ms);
    w.OnDestroy();
    EXPECT_EQ(rig.Engine().WaitForRunEnd(10s), UpdateOutcome::WindowClosed);
    const std::vector<UpdateRecord> records = rig.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].ending, "WindowClosed");
    EXPECT_EQ(records[0].model, std::nullopt);
    EXPECT_EQ(records[0].softwareRevision, std::nullopt) << "the device never identified itself";
}

#if !defined(_WIN32)
TEST(MainWindowControllerRecords, TheProductsWindowAppendsEveryRunToTheHistoryOfUpdates) {
    const std::filesystem::path state =
        std::filesystem::temp_directory_path() / ("tarnet-controller-history-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::remove_all(state);
    testsupport::ScopedEnv env("XDG_STATE_HOME", state.string().c_str());
    {
        Rig rig(RigOptions{}, /*history=*/true);
        rig.Window().OnExecute();
        ASSERT_TRUE(rig.WaitForCompletion());
        rig.Window().OnRescanDevice();
        rig.Window().OnExecute();
        ASSERT_TRUE(rig.WaitForCompletion());
    }
    const HistoryContents history = ReadHistory(HistoryFilePath());
    std::filesystem::remove_all(state);
    EXPECT_TRUE(history.found) << history.error;
    ASSERT_EQ(history.records.size(), 2u);
    EXPECT_EQ(history.records[0].ending, "Completed");
    EXPECT_EQ(history.records[1].ending, "Completed");
    EXPECT_EQ(history.unreadableLines, 0);
}
#endif
