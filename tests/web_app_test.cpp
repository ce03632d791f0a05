// The web edition's program against a page and a device of the tests' own (WebPageDouble.h): what
// the page is told and when, whole updates through the page's relay, their endings and records,
// the lists as the page's ports come and go, and messages from the page that are wrong or out of
// place. On the real clock: the whole update runs at the product's pace, the other runs with a
// shorter poll period and reply time-out.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FirmwareImage.h"
#include "UpdateRecord.h"
#include "WebApp.h"
#include "WebPageDouble.h"

namespace {

using namespace std::chrono_literals;
using testsupport::DeviceDouble;
using testsupport::Json;
using testsupport::Clock;
using testsupport::PageDouble;

// A device's configuration: the defaults with `set` applied.
DeviceDouble::Config Configured(const std::function<void(DeviceDouble::Config&)>& set) {
    DeviceDouble::Config config;
    set(config);
    return config;
}

const Json DEVICE_PORTS = {{"t", "ports"},
                           {"inputs", {{{"id", "in-1"}, {"name", "USB Audio Device"}}}},
                           {"outputs", {{{"id", "out-1"}, {"name", "USB Audio Device"}}}}};

class WebAppTest : public ::testing::Test {
protected:
    WebAppTest() {
        page.onSend = [this](const PageDouble::Sent& s) {
            for (auto& device : devices) device->OnSent(s);
        };
        // The user dismisses every error box a moment after it appears, unless a test holds them.
        page.onPost = [this](const Json& m) {
            if (m.at("t") == "error" && autoDismiss) page.FromPage({{"t", "dismiss"}, {"box", m.at("box")}}, 500ms);
        };
    }

    // Shorter than the product's, so that the many runs below take little time.
    static EngineTimings Quick() {
        EngineTimings t;
        t.pollPeriodMs = 10;
        t.replyTimeoutMs = 1500;
        return t;
    }
    WebApp& App() {
        if (!app) app = std::make_unique<WebApp>(page, midiIn, midiOut, timers, timings);
        return *app;
    }

    DeviceDouble& AddDevice(DeviceDouble::Config config = {}, const std::string& out = "out-1",
                            const std::string& in = "in-1") {
        devices.push_back(std::make_unique<DeviceDouble>(page, out, in, std::move(config)));
        return *devices.back();
    }

    // The page starts the program as instance `instance` with the device's ports connected.
    void Start(int instance = 1, const Json& ports = DEVICE_PORTS) {
        page.FromPage(ports);
        page.FromPage({{"t", "start"}, {"instance", instance}});
        RunFor(100ms);
    }
    // Runs the program for `span` of the page's clock.
    // Between runs: a test's code runs only once the loop has come back from a run's worker.
    void RunFor(std::chrono::milliseconds span) {
        page.FromPage({{"t", "test-clock"}}, span);  // a message of no use, which ends the wait then
        const auto end = page.Now() + span;
        App().Run([&] { return page.Now() >= end; });
    }
    // Runs the program until a record of a run has come, at most `limit`.
    std::optional<UpdateRecord> RunUntilRecord(std::chrono::milliseconds limit = 120s) {
        const std::size_t before = page.Posted("record").size();
        const auto end = page.Now() + limit;
        App().Run([&] { return page.Posted("record").size() > before || page.Now() >= end; });
        const auto records = page.Posted("record");
        if (records.size() == before) return std::nullopt;
        return ParseRecordJson(records.back().at("json").get<std::string>());
    }
    // Runs until the controls are back (a run has ended and its box was dismissed).
    void RunUntilReady(std::chrono::milliseconds limit = 10s) {
        const auto end = page.Now() + limit;
        App().Run([&] { return (Enabled("execute") && Enabled("in")) || page.Now() >= end; });
    }
    bool Enabled(const std::string& control) const {
        bool on = true;  // every control is enabled at start
        for (const Json& m : page.Posted("enable")) {
            if (m.at("control") == control) on = m.at("on");
        }
        return on;
    }
    std::vector<std::string> ErrorTexts() const {
        std::vector<std::string> texts;
        for (const Json& m : page.Posted("error")) texts.push_back(m.at("text"));
        return texts;
    }
    void Execute() { page.FromPage({{"t", "execute"}}); }

    PageDouble page;
    platform::WebMidiInApi midiIn;
    platform::WebMidiOutApi midiOut;
    platform::LoopTimerService timers{[this] { return page.Now(); }};
    EngineTimings timings = Quick();
    std::vector<std::unique_ptr<DeviceDouble>> devices;
    std::unique_ptr<WebApp> app;  // made on first use, with `timings`
    bool autoDismiss = true;
};

TEST_F(WebAppTest, ThePageIsGreetedWithItsTextsAndTheWindowComesWithItsStart) {
    RunFor(10ms);
    ASSERT_EQ(page.Posted("hello").size(), 1u);
    const Json texts = page.Last("hello").at("texts");
    EXPECT_EQ(texts.at("errorCaption"), "Error");
    EXPECT_EQ(texts.at("aboutEntry"), "About Tarnet Updater(A)...");
    EXPECT_EQ(texts.at("aboutKey"), "A");
    EXPECT_EQ(texts.at("aboutVersion"), "Tarnet System Ver 1.10 Updater");
    EXPECT_EQ(texts.at("refusal"), "It is forbidden to launch more than 20 instance of this application.");
    ASSERT_EQ(texts.at("markers").size(), 20u);
    EXPECT_EQ(texts.at("markers").at(2), "Tarnet System Ver 1.10 Updater (3)");
    for (const char* key : {"noWebMidi", "notSecure", "sysexRefused", "noMidiSystem", "noDevices"}) {
        EXPECT_FALSE(texts.at(key).get<std::string>().empty()) << key;
    }
    // No window before the page holds its number: the controls' messages are dropped.
    EXPECT_EQ(App().Window(), nullptr);
    Execute();
    RunFor(10ms);
    EXPECT_TRUE(page.Posted("list").empty());

    Start(3);
    ASSERT_NE(App().Window(), nullptr);
    EXPECT_EQ(App().InstanceNumber(), 3);
    EXPECT_EQ(page.Last("title").at("text"), "Tarnet System Ver 1.10 Updater (3)");
    EXPECT_EQ(page.Last("range").at("max"), IMAGE_SIZE);
    EXPECT_EQ(page.Last("progress").at("pos"), 0);
    // Copy 3 selects only "USB Audio Device (3)": here there is none.
    EXPECT_EQ(page.Last("list").at("selection"), -1);
    // A second start changes nothing.
    page.FromPage({{"t", "start"}, {"instance", 1}});
    RunFor(10ms);
    EXPECT_EQ(App().InstanceNumber(), 3);
}

TEST_F(WebAppTest, AWholeUpdateThroughThePageDeliversTheImageIntactAndIsRecorded) {
    timings = EngineTimings{};  // the product's
    DeviceDouble& device = AddDevice();
    Start();
    // Both lists list the device and select it; nothing has gone to it before "Execute".
    for (const Json& m : page.Posted("list")) {
        EXPECT_EQ(m.at("names"), Json::array({"USB Audio Device"}));
        EXPECT_EQ(m.at("selection"), 0);
    }
    EXPECT_TRUE(page.sent.empty());
    EXPECT_TRUE(page.Posted("listen").empty());

    Execute();
    const auto record = RunUntilRecord();
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->ending, "Completed");
    EXPECT_EQ(record->midiIn, "USB Audio Device");
    EXPECT_EQ(record->midiOut, "USB Audio Device");
    EXPECT_EQ(record->model, std::optional<std::uint8_t>(0x6A));
    EXPECT_EQ(record->blockSends, std::vector<int>(36, 1));
    // The image arrived whole and unchanged.
    EXPECT_FALSE(device.crcError);
    EXPECT_EQ(device.blocksAccepted, 36);
    EXPECT_TRUE(std::equal(device.image.begin(), device.image.end(), LoadFirmwareImage()));
    EXPECT_EQ(device.finishes, 1);
    // The page heard of the input to relay, the stages, and the progress of every block.
    EXPECT_EQ(page.Posted("listen").front().at("ports"), Json::array({"in-1"}));
    RunFor(100ms);
    EXPECT_EQ(page.Last("status").at("text"), "Version update completed.");
    EXPECT_TRUE(page.Last("status").at("announce"));
    const auto progress = page.Posted("progress");
    ASSERT_EQ(progress.size(), 37u);
    EXPECT_EQ(progress[1].at("pos"), 9216);
    EXPECT_EQ(progress.back().at("pos"), IMAGE_SIZE);
    EXPECT_TRUE(page.FirstPosted("status", [](const Json& m) {
        return m.at("text") == "Data transmit  322560 / 327680 " && !m.at("announce").get<bool>();
    }).has_value());
    // Completed: everything but "Execute" is back; "Rescan Device" brings it back too.
    EXPECT_TRUE(Enabled("in") && Enabled("out") && Enabled("rescan"));
    EXPECT_FALSE(Enabled("execute"));
    EXPECT_TRUE(ErrorTexts().empty());
    page.FromPage({{"t", "rescan"}});
    RunFor(10ms);
    EXPECT_TRUE(Enabled("execute"));
}

TEST_F(WebAppTest, ABlockRefusedSixTimesGoesThroughOnItsSeventhSendAndOneRefusedSevenTimesEndsTheRun) {
    DeviceDouble& device = AddDevice(Configured([](DeviceDouble::Config& c) { c.refusals = {{3, 6}, {20, 7}}; }));
    Start();
    Execute();
    const auto record = RunUntilRecord();
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->ending, "TransferError");
    EXPECT_EQ(device.sendsOfBlock[3], 7);
    EXPECT_EQ(device.sendsOfBlock[20], 7);
    EXPECT_EQ(device.sendsOfBlock.count(21), 0u);
    EXPECT_EQ(record->blockSends[3], 7);
    EXPECT_EQ(record->blockSends[20], 7);
    RunUntilReady();
    EXPECT_EQ(ErrorTexts(), std::vector<std::string>{"Transfer error occurred."});
    EXPECT_EQ(page.Last("error").at("caption"), "Error");
    EXPECT_TRUE(Enabled("execute"));
}

TEST_F(WebAppTest, EachRefusalOfTheDeviceEndsWithTheDesktopsText) {
    struct Case {
        DeviceDouble::Config config;
        std::string text;
        std::string ending;
    };
    const std::vector<Case> cases = {
        {Configured([](DeviceDouble::Config& c) { c.identityModel = 0x55; }), "Illegal device connected.", "IllegalDevice"},
        {Configured([](DeviceDouble::Config& c) { c.eraseStatus = 11; }), "Please set the Version-up mode.", "NotInVersionUpMode"},
        {Configured([](DeviceDouble::Config& c) { c.eraseStatus = 1; }), "Transfer error occurred.", "TransferError"},
        {Configured([](DeviceDouble::Config& c) { c.mute = true; }), "Time out error(1)", "IdentityTimeout"},
    };
    Start();
    for (const Case& c : cases) {
        devices.clear();
        AddDevice(c.config);
        const std::size_t boxes = page.Posted("error").size();
        Execute();
        const auto record = RunUntilRecord();
        ASSERT_TRUE(record.has_value()) << c.text;
        EXPECT_EQ(record->ending, c.ending);
        RunUntilReady();
        ASSERT_EQ(page.Posted("error").size(), boxes + 1) << c.text;
        EXPECT_EQ(page.Last("error").at("text"), c.text);
        if (c.config.mute) {
            // The reply time-out, and not much more.
            const auto waited = record->durationMs;
            EXPECT_GE(waited, timings.replyTimeoutMs);
            EXPECT_LT(waited, timings.replyTimeoutMs + 1000);
        }
    }
}

// The device leaves the page's list (unplugged, statechange) while the run waits in each phase: the
// run ends with that phase's error well within 5 s, and nothing goes out after the leaving.
TEST_F(WebAppTest, ADeviceThatLeavesEndsTheRunWithinFiveSecondsInEveryPhase) {
    struct Case {
        const char* phase;
        std::function<bool(const DeviceDouble&)> reached;
        const char* text;
    };
    const std::vector<Case> cases = {
        {"identification", [](const DeviceDouble& d) { return d.identityRequests > 0; }, "Time out error(1)"},
        {"erase", [](const DeviceDouble& d) { return d.erases > 0; }, "Transfer error occurred."},
        {"transfer", [](const DeviceDouble& d) { return d.blocksAccepted >= 10; }, "Transfer error occurred."},
        {"finish", [](const DeviceDouble& d) { return d.finishes > 0; }, "Transfer error occurred."},
    };
    timings.replyTimeoutMs = REPLY_TIMEOUT_MS;  // only the leaving can end these runs in time
    Start();
    for (const Case& c : cases) {
        devices.clear();
        // A device that answers nothing from this phase on.
        DeviceDouble& device = AddDevice(Configured([&](DeviceDouble::Config& config) { config.silentWhen = c.reached; }));
        page.FromPage(DEVICE_PORTS);
        page.FromPage({{"t", "rescan"}});
        RunFor(100ms);
        const std::size_t boxes = page.Posted("error").size();
        std::optional<Clock::time_point> left;
        std::size_t sentAtLeaving = 0;
        page.When([&] { return c.reached(device); },
                  [&] {
                      device.gone = true;  // unplugged: it answers nothing more
                      sentAtLeaving = page.sent.size();
                      left = page.Now();
                      page.FromPage({{"t", "ports"}, {"inputs", Json::array()}, {"outputs", Json::array()}});
                  });
        Execute();
        const auto record = RunUntilRecord(60s);
        ASSERT_TRUE(record.has_value()) << c.phase;
        EXPECT_EQ(record->ending, "DeviceGone") << c.phase;
        ASSERT_TRUE(left.has_value()) << c.phase;
        RunUntilReady();
        ASSERT_EQ(page.Posted("error").size(), boxes + 1) << c.phase;
        EXPECT_EQ(page.Last("error").at("text"), c.text) << c.phase;
        const auto shown = page.FirstPosted("error", [&](const Json& m) { return m.at("box") == page.Last("error").at("box"); });
        ASSERT_TRUE(shown.has_value());
        EXPECT_LT(*shown - *left, 5s) << c.phase;
        EXPECT_EQ(page.sent.size(), sentAtLeaving) << c.phase;
        EXPECT_TRUE(Enabled("execute")) << c.phase;
        // The lists follow the page once the run is over: empty now.
        RunFor(100ms);
        EXPECT_EQ(page.Last("list").at("names"), Json::array()) << c.phase;
    }
}

TEST_F(WebAppTest, AnErrorBoxHoldsTheRunUntilThePageClosesItWhileTheDispatcherGoesOn) {
    autoDismiss = false;
    DeviceDouble& device = AddDevice(Configured([](DeviceDouble::Config& c) { c.mute = true; }));
    Start();
    std::optional<Clock::time_point> shown;
    std::size_t boxesWhileOpen = 0;
    bool executeWhileOpen = true;
    std::size_t sentWhileOpen = 0;
    page.When([&] { return !page.Posted("error").empty(); },
              [&] {
                  shown = page.Now();
                  // The device asks for a block while the box is open.
                  device.Send({0xF0, 0x7D, 0x00, 0x6A, 0x03, 0x00, 0x00, 0x28, 0x00, 0x00, 0x10, 0x00, 0xF7});
              });
    page.When([&] { return shown && page.Now() >= *shown + 2s; },
              [&] {
                  boxesWhileOpen = App().Window()->OpenBoxes();
                  executeWhileOpen = Enabled("execute");
                  sentWhileOpen = page.sent.size();
                  page.FromPage({{"t", "dismiss"}, {"box", page.Last("error").at("box")}});
              });
    Execute();
    const auto end = page.Now() + 30s;
    App().Run([&] { return (sentWhileOpen > 0 && Enabled("execute")) || page.Now() >= end; });
    EXPECT_EQ(ErrorTexts(), std::vector<std::string>{"Time out error(1)"});
    EXPECT_EQ(boxesWhileOpen, 1u);
    EXPECT_FALSE(executeWhileOpen);
    // The dispatcher answered it: the Identity Request, then a block of 16 bytes, packed.
    ASSERT_EQ(sentWhileOpen, 2u);
    EXPECT_EQ(page.sent[1].bytes.size(), 16u + 3u + 18u);
    // Closing the box gave the controls back.
    EXPECT_EQ(App().Window()->OpenBoxes(), 0u);
    EXPECT_TRUE(Enabled("execute"));
}

TEST_F(WebAppTest, ExecuteWithoutDevicesSaysTheInputCantOpenAndSendsNothing) {
    Start(1, {{"t", "ports"}, {"inputs", Json::array()}, {"outputs", Json::array()}});
    Execute();
    RunUntilReady();
    RunFor(1s);
    EXPECT_EQ(ErrorTexts(), std::vector<std::string>{"Can't open MIDI In device."});
    EXPECT_TRUE(page.sent.empty());
    EXPECT_TRUE(page.Posted("record").empty());
}

TEST_F(WebAppTest, APageClosedWhileExecuteSaysTheInputCantOpenRecordsNoRun) {
    autoDismiss = false;
    Start(1, {{"t", "ports"}, {"inputs", Json::array()}, {"outputs", Json::array()}});
    // The tab closes while the box is open: "Execute" started no run, so there is none to record.
    page.When([&] { return !page.Posted("error").empty(); }, [&] { page.FromPage({{"t", "close"}}); });
    Execute();
    const auto end = page.Now() + 10s;
    App().Run([&] { return App().Window()->IsDestroyed() || page.Now() >= end; });
    RunFor(200ms);
    ASSERT_TRUE(App().Window()->IsDestroyed());
    EXPECT_EQ(ErrorTexts(), std::vector<std::string>{"Can't open MIDI In device."});
    EXPECT_EQ(App().Window()->OpenBoxes(), 0u);
    EXPECT_TRUE(page.Posted("record").empty());
}

TEST_F(WebAppTest, TheListsFollowThePagesPortsKeepingTheUsersPickAndNotDuringARun) {
    const Json three = {{"t", "ports"},
                        {"inputs", {{{"id", "i1"}, {"name", "USB Audio Device"}}, {{"id", "i2"}, {"name", "USB Audio Device"}},
                                    {{"id", "i3"}, {"name", "Keys"}}}},
                        {"outputs", {{{"id", "o1"}, {"name", "USB Audio Device"}}, {{"id", "o2"}, {"name", "USB Audio Device"}},
                                     {{"id", "o3"}, {"name", "Keys"}}}}};
    Start(2, three);
    // Copy 2 selects the second unit of the name.
    Json out = page.Last("list");
    EXPECT_EQ(out.at("list"), "in");
    EXPECT_EQ(out.at("names"), Json::array({"USB Audio Device", "USB Audio Device (2)", "Keys"}));
    EXPECT_EQ(out.at("selection"), 1);
    // The user picks "Keys" in both lists; a pick made in an older listing counts for nothing.
    const auto inGen = App().Window()->Generation(IUpdatorWindow::DeviceList::MidiIn);
    const auto outGen = App().Window()->Generation(IUpdatorWindow::DeviceList::MidiOut);
    page.FromPage({{"t", "select"}, {"list", "in"}, {"index", 2}, {"gen", inGen}});
    page.FromPage({{"t", "select"}, {"list", "out"}, {"index", 2}, {"gen", outGen}});
    page.FromPage({{"t", "select"}, {"list", "out"}, {"index", 0}, {"gen", outGen - 1}});
    page.FromPage({{"t", "select"}, {"list", "out"}, {"index", 7}, {"gen", outGen}});
    // A device comes ahead of them: the lists are refilled with "Keys" still picked.
    Json four = three;
    four["inputs"].insert(four["inputs"].begin(), Json{{"id", "i0"}, {"name", "Pads"}});
    four["outputs"].insert(four["outputs"].begin(), Json{{"id", "o0"}, {"name", "Pads"}});
    page.FromPage(four, 10ms);
    RunFor(100ms);
    for (const Json& m : {page.Posted("list").end()[-2], page.Posted("list").end()[-1]}) {
        EXPECT_EQ(m.at("names").at(3), "Keys");
        EXPECT_EQ(m.at("selection"), 3);
    }
    // The output "Keys" leaves: that list takes the default of copy 2 again, the other keeps the pick.
    Json outputGone = four;
    outputGone["outputs"].erase(3);
    page.FromPage(outputGone);
    RunFor(100ms);
    const Json lastOut = page.Posted("list").end()[-2];
    const Json lastIn = page.Posted("list").end()[-1];
    ASSERT_EQ(lastOut.at("list"), "out");
    EXPECT_EQ(lastOut.at("selection"), 2);  // "USB Audio Device (2)"
    EXPECT_EQ(lastOut.at("names").at(2), "USB Audio Device (2)");
    ASSERT_EQ(lastIn.at("list"), "in");
    EXPECT_EQ(lastIn.at("selection"), 3);  // "Keys"
}

TEST_F(WebAppTest, PortsThatChangeDuringARunLeaveTheListsAloneUntilItIsOver) {
    DeviceDouble& device = AddDevice();
    Start();
    const std::size_t lists = page.Posted("list").size();
    Json more = DEVICE_PORTS;
    more["inputs"].push_back({{"id", "in-2"}, {"name", "Keys"}});
    more["outputs"].push_back({{"id", "out-2"}, {"name", "Keys"}});
    page.When([&] { return device.blocksAccepted >= 3; }, [&] { page.FromPage(more); });
    std::size_t listsDuringRun = 0;
    page.When([&] { return device.blocksAccepted >= 20; }, [&] { listsDuringRun = page.Posted("list").size(); });
    Execute();
    const auto record = RunUntilRecord();
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->ending, "Completed");
    EXPECT_EQ(listsDuringRun, lists);
    RunFor(200ms);
    ASSERT_EQ(page.Posted("list").size(), lists + 2);
    EXPECT_EQ(page.Last("list").at("names"), Json::array({"USB Audio Device", "Keys"}));
}

TEST_F(WebAppTest, HostileInputFromTheDeviceIsDroppedAndTheUpdateStillCompletes) {
    DeviceDouble& device = AddDevice();
    Start();
    // Before the run and during it: an over-long message, one cut off by another, a flood of
    // short messages and of unknown opcodes (each answered "not recognised"), stray bytes.
    std::vector<std::uint8_t> overlong(40000, 0x01);
    overlong.front() = 0xF0;
    overlong[1] = 0x7D;
    overlong.back() = 0xF7;
    Execute();
    device.Send(overlong, 1ms);
    device.Send({0xF0, 0x7D, 0x00, 0x6A, 0x00}, 1ms);  // cut: the next message begins
    for (int i = 0; i < 2000; ++i) device.Send({0x90, 0x40, 0x7F}, 1ms);
    for (int i = 0; i < 20; ++i) device.Send({0xF0, 0x7D, 0x00, 0x6A, 0x40, 0xF7}, 3ms);
    device.Send({0xF7, 0x80, 0x12}, 3ms);
    page.FromPage({{"t", "midi"}, {"port", "in-1"}, {"lost", 12}}, 4ms);
    const auto record = RunUntilRecord();
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->ending, "Completed");
    EXPECT_TRUE(std::equal(device.image.begin(), device.image.end(), LoadFirmwareImage()));
    // The unknown opcodes got their answer, STATUS 1.
    const auto notRecognised = std::count_if(page.sent.begin(), page.sent.end(), [](const PageDouble::Sent& s) {
        return s.bytes == std::vector<std::uint8_t>{0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x01, 0xF7};
    });
    EXPECT_EQ(notRecognised, 20);
}

TEST_F(WebAppTest, MessagesFromThePageThatAreWrongOrOutOfPlaceAreDropped) {
    AddDevice();
    Start();
    const std::size_t lists = page.Posted("list").size();
    for (const char* text : {"", "not json", "[1,2]", "{\"t\":5}", "{\"t\":\"unknown\"}", "{\"t\":\"start\",\"instance\":21}",
                             "{\"t\":\"select\",\"list\":\"in\"}", "{\"t\":\"select\",\"list\":\"side\",\"index\":0,\"gen\":1}",
                             "{\"t\":\"select\",\"list\":\"in\",\"index\":\"0\",\"gen\":1}", "{\"t\":\"dismiss\",\"box\":-4}",
                             "{\"t\":\"midi\"}", "{\"t\":\"midi\",\"port\":\"nowhere\",\"lost\":-1}",
                             "{\"t\":\"ports\",\"inputs\":7,\"outputs\":[{\"id\":3},{\"name\":\"x\"},{\"id\":\"\",\"name\":\"y\"}]}"}) {
        page.RawFromPage(text, {0xF0, 0x01, 0xF7});
    }
    RunFor(100ms);
    // The malformed port list named no device: the lists are refilled, empty.
    EXPECT_EQ(page.Posted("list").size(), lists + 2);
    EXPECT_EQ(page.Last("list").at("names"), Json::array());
    EXPECT_EQ(App().InstanceNumber(), 1);
    EXPECT_TRUE(page.sent.empty());
    EXPECT_TRUE(page.Posted("error").empty());
}

TEST_F(WebAppTest, TheReportIsTheDesktopReportOfTheRecordsThePageKept) {
    AddDevice();
    Start();
    Execute();
    ASSERT_TRUE(RunUntilRecord().has_value());
    const std::string kept = page.Last("record").at("json");
    page.FromPage({{"t", "report"}, {"records", {kept, "{\"cut\":", 17, kept}}});
    RunFor(10ms);
    const Json report = page.Last("report");
    ASSERT_FALSE(report.is_null());
    EXPECT_EQ(report.at("dropped"), 2);
    const std::string text = report.at("text");
    const auto records = ParseReportJson(text);
    ASSERT_TRUE(records.has_value());
    ASSERT_EQ(records->size(), 2u);
    EXPECT_EQ(RecordJson(records->at(0)), kept);
    const Json document = Json::parse(text);
    EXPECT_EQ(document.at("program"), "tarnet-updater-web");
    EXPECT_EQ(document.at("version"), "1.10");
    // A request without records makes an empty report.
    page.FromPage({{"t", "report"}});
    RunFor(10ms);
    EXPECT_EQ(Json::parse(page.Last("report").at("text").get<std::string>()).at("records"), Json::array());
}

TEST_F(WebAppTest, ThePagesClosingEndsARunSilentlyAndKeepsItsRecord) {
    DeviceDouble& device = AddDevice();
    Start();
    std::size_t sentAtClosing = 0;
    page.When([&] { return device.blocksAccepted >= 2; },
              [&] {
                  sentAtClosing = page.sent.size();
                  page.FromPage({{"t", "close"}});
              });
    Execute();
    const auto record = RunUntilRecord(30s);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->ending, "WindowClosed");
    RunFor(1s);
    EXPECT_TRUE(page.Posted("error").empty());
    EXPECT_TRUE(App().Window()->IsDestroyed());
    // At most the block that was on its way when the page closed went out.
    EXPECT_LE(page.sent.size(), sentAtClosing + 1);
    EXPECT_LT(device.blocksAccepted, 4);
}

}  // namespace
