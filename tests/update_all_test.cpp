// The parts of tarnet-update --all below the whole program: which devices it takes, the board of
// progress lines, the tables, terminal widths, and the child processes it runs.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "DeviceChoice.h"
#include "Options.h"
#include "ProgressBoard.h"
#include "RecordTable.h"
#include "TerminalText.h"
#include "UpdateAll.h"
#include "UpdateCopyProbe.h"
#include "UpdateHistory.h"
#include "UpdateRecord.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const std::string JA = "USB \xE3\x82\xAA\xE3\x83\xBC\xE3\x83\x87\xE3\x82\xA3\xE3\x82\xAA "
                       "\xE3\x83\x87\xE3\x83\x90\xE3\x82\xA4\xE3\x82\xB9";  // "USB オーディオ デバイス"

TEST(DevicesToUpdate, TakesTheWindowsDefaultNamesPresentInBothListsInCopyOrder) {
    const std::vector<std::string> ins = {"USB Audio Device (3)", "Midi Through", "USB Audio Device",
                                          "USB Audio Device (21)", JA + " (2)", "USB Audio Device (4)",
                                          "USB Audio Device (20)", "USB Audio Device (3)"};
    const std::vector<std::string> outs = {"USB Audio Device", "USB Audio Device (3)", "Midi Through",
                                           "USB Audio Device (21)", JA + " (2)", "USB Audio Device (20)",
                                           "USB Audio Device (5)"};
    EXPECT_EQ(DevicesToUpdate(ins, outs),
              (std::vector<std::string>{"USB Audio Device", JA + " (2)", "USB Audio Device (3)",
                                        "USB Audio Device (20)"}));
    EXPECT_TRUE(DevicesToUpdate({"USB Audio Device"}, {}).empty());
    EXPECT_TRUE(DevicesToUpdate({"USB Audio Device (1)", "usb audio device"}, {"USB Audio Device (1)", "usb audio device"}).empty());
}

TEST(DevicesSharingAPort, RefusesTwoCopiesOnTheMidiInOrOutDeviceThatTheirNamesResolveTo) {
    const std::vector<std::string> ins = {"A", "X", "B", "X"};
    const std::vector<std::string> outs = {"B", "A", "O"};
    EXPECT_EQ(FindDevice(ins, "X"), 3);  // the last of a name, as a copy opens it
    EXPECT_EQ(FindDevice(ins, "O"), -1);
    // Each device its own MIDI IN and OUT; a name listed twice (two units of one name) is one
    // device, and one that is missing from a list takes nothing of it.
    EXPECT_EQ(DevicesSharingAPort({"A", "B"}, ins, outs), std::nullopt);
    EXPECT_EQ(DevicesSharingAPort({"X"}, ins, outs), std::nullopt);
    EXPECT_EQ(DevicesSharingAPort({"A", "X", "O", "Gone"}, ins, outs), std::nullopt);
    EXPECT_EQ(DevicesSharingAPort({}, ins, outs), std::nullopt);
    // The ports that the names resolve to, MIDI IN first.
    EXPECT_EQ(DevicesSharingAPort({"A", "X", "B", "X"}, ins, outs),
              "\"X\" and \"X\" are one MIDI IN device (3: \"X\"): a device takes one update at a time");
    EXPECT_EQ(DevicesSharingAPort({"O", "A", "O"}, ins, outs),
              "\"O\" and \"O\" are one MIDI OUT device (2: \"O\"): a device takes one update at a time");
    // A device that is in neither list, by its name; names shown with their controls escaped.
    EXPECT_EQ(DevicesSharingAPort({"Gone\x1b[2J", "A", "Gone\x1b[2J"}, ins, outs),
              "device \"Gone\\x1b[2J\" is named twice: a device takes one update at a time");
    EXPECT_EQ(DevicesSharingAPort({"A", "A"}, {}, {}),
              "device \"A\" is named twice: a device takes one update at a time");
}

TEST(RunnerCommandLine, RefusesOneDeviceNamedTwiceForAllAndGivesARunIdToOneDeviceOnly) {
    const auto parse = [](std::vector<std::string> words) {
        words.insert(words.begin(), "tarnet-update");
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        return ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    };
    EXPECT_EQ(parse({"--all", "--device", "X", "--device", "Y", "--device", "X"}).exitStatus, 2);
    EXPECT_EQ(parse({"--all", "--loopback", "--device", "X", "--device=X"}).exitStatus, 2);
    const ParsedCommandLine two = parse({"--all", "--device", "X", "--device", "Y"});
    EXPECT_EQ(two.exitStatus, std::nullopt);
    EXPECT_EQ(two.options.devices, (std::vector<std::string>{"X", "Y"}));

    const ParsedCommandLine copy = parse({"--copy-of-all", "--device", "X", "--record-id", "5f-2"});
    EXPECT_EQ(copy.exitStatus, std::nullopt);
    EXPECT_EQ(copy.options.recordId, "5f-2");
    EXPECT_EQ(parse({"--device", "X"}).options.recordId, "");
    EXPECT_EQ(parse({"--all", "--record-id", "5f"}).exitStatus, 2);
    EXPECT_EQ(parse({"--record-id"}).exitStatus, 2);
}

TEST(TerminalText, CountsWideCharactersTwiceAndNeverCutsOneInHalf) {
    EXPECT_EQ(DisplayWidth("USB Audio Device"), 16);
    EXPECT_EQ(DisplayWidth(JA), 4 + 2 * 5 + 1 + 2 * 4);
    EXPECT_EQ(DisplayWidth("\xFF" "a"), 2);
    EXPECT_EQ(FitWidth(JA, 6), "USB \xE3\x82\xAA");
    EXPECT_EQ(FitWidth(JA, 7), "USB \xE3\x82\xAA");  // half a wide character does not fit
    EXPECT_EQ(FitWidth("abc", 10), "abc");
    EXPECT_EQ(PadWidth("\xE3\x82\xAA", 4), "\xE3\x82\xAA  ");
    EXPECT_EQ(PadWidth("abcdef", 4), "abcdef");
}

TEST(TerminalText, EscapesEverythingATerminalWouldActOnAndKeepsPrintableUtf8AsItIs) {
    EXPECT_EQ(EscapeControls("USB Audio Device (2)"), "USB Audio Device (2)");
    EXPECT_EQ(EscapeControls(JA + " (2)"), JA + " (2)");
    EXPECT_EQ(EscapeControls("back\\slash \xc2\xa0\xe2\x82\xac\xf0\x9f\x8e\xb8"),
              "back\\slash \xc2\xa0\xe2\x82\xac\xf0\x9f\x8e\xb8");  // no-break space, euro, guitar
    // C0 controls, DEL, escape sequences.
    EXPECT_EQ(EscapeControls(std::string("\0\x01\t\n\r\x1b\x1f\x7f", 8)), "\\x00\\x01\\x09\\x0a\\x0d\\x1b\\x1f\\x7f");
    EXPECT_EQ(EscapeControls("A\x1b[2J\x1b]0;title\x07" "B"), "A\\x1b[2J\\x1b]0;title\\x07B");
    // C1 controls as code points (CSI, NEL, the first and the last).
    EXPECT_EQ(EscapeControls("\xc2\x9b" "31m\xc2\x85\xc2\x80\xc2\x9f"), "\\u009b31m\\u0085\\u0080\\u009f");
    // Bytes that are not UTF-8: stray, cut short, overlong, a surrogate, beyond U+10FFFF.
    EXPECT_EQ(EscapeControls("\xff\x9b\xe3\x82"), "\\xff\\x9b\\xe3\\x82");
    EXPECT_EQ(EscapeControls("\xc0\x9b\xe0\x80\x9b"), "\\xc0\\x9b\\xe0\\x80\\x9b");
    EXPECT_EQ(EscapeControls("\xed\xa0\x80\xf4\x90\x80\x80"), "\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80");
    // Widths are those of what is shown.
    EXPECT_EQ(DisplayWidth(EscapeControls("A\x1b")), 5);
    EXPECT_EQ(PadWidth(EscapeControls("\x07"), 6), "\\x07  ");
}

UpdateRecord Record(const std::string& device, const std::string& ending, std::int64_t ms, std::vector<int> sends) {
    UpdateRecord r;
    r.midiIn = r.midiOut = device;
    r.model = 0x6A;
    r.ending = ending;
    r.durationMs = ms;
    r.blockSends = std::move(sends);
    return r;
}

TEST(RecordTables, LineUpTheColumnsAlsoBesideJapaneseNames) {
    UpdateRecord failed = Record(JA + " (2)", "TransferError", 760, {1, 1, 7, 0});
    failed.model.reset();
    failed.usbPath = "3-2";  // a unit without a serial number
    UpdateRecord split = Record("A", "Completed", 12345, {2, 1});
    split.midiOut = "B";
    split.softwareRevision = SoftwareRevision{0x01, 0x00, 0x7F, 0x0A};
    UpdateRecord first = Record("USB Audio Device", "Completed", 2200, {1, 2, 1});
    first.softwareRevision = SoftwareRevision{0x31, 0x30, 0x30, 0x30};
    first.usbSerial = "A1B2C3";
    first.usbPath = "1-1.2";
    const std::string table = ClosingTable({first, failed, split});
    const std::string expected =
        "device                       model  ending         revision     unit             duration  sent again\n"
        "USB Audio Device             0x6A   Completed      31 30 30 30  A1B2C3 at 1-1.2     2.2 s           1\n"
        "USB \xE3\x82\xAA\xE3\x83\xBC\xE3\x83\x87\xE3\x82\xA3\xE3\x82\xAA \xE3\x83\x87\xE3\x83\x90\xE3\x82\xA4\xE3\x82\xB9"
        " (2)  -      TransferError  -            at 3-2              0.8 s           6\n"
        "A / B                        0x6A   Completed      01 00 7F 0A  -                  12.3 s           1\n";
    EXPECT_EQ(table, expected);

    UpdateRecord dated = Record("USB Audio Device", "Completed", 2200, {1, 2});
    dated.start = *ParseUtc("2026-03-05T14:03:22.125Z");
    EXPECT_EQ(HistoryTable({dated}),
              "started (UTC)        device            model  ending     revision  unit  duration  sent again\n"
              "2026-03-05 14:03:22  USB Audio Device  0x6A   Completed  -         -        2.2 s           1\n");
}

// A name as a USB descriptor or an edited history may bring it: an escape sequence that would
// clear the screen, a bell, a C1 control (CSI), a tab and a byte that is not UTF-8.
const std::string HOSTILE = "Evil\x1b[2J\x07 \xc2\x9b" "31m\t\xff";
const std::string HOSTILE_SHOWN = "Evil\\x1b[2J\\x07 \\u009b31m\\x09\\xff";

TEST(RecordTables, ShowControlCharactersOfNamesEndingsAndUnitsEscapedAndLineUpTheEscapedForm) {
    UpdateRecord hostile = Record(HOSTILE, "Completed\x1b]0;owned\x07", 1000, {1});
    hostile.start = *ParseUtc("2026-03-05T14:03:22.125Z");
    UpdateRecord plain = Record("USB Audio Device", "Completed", 2200, {1, 2});
    plain.start = hostile.start;
    // The escaped name takes 33 columns, the escaped ending 25.
    EXPECT_EQ(HistoryTable({hostile, plain}),
              "started (UTC)        device                             model  ending                     "
              "revision  unit  duration  sent again\n"
              "2026-03-05 14:03:22  Evil\\x1b[2J\\x07 \\u009b31m\\x09\\xff  0x6A   Completed\\x1b]0;owned\\x07  "
              "-         -        1.0 s           0\n"
              "2026-03-05 14:03:22  USB Audio Device                   0x6A   Completed                  "
              "-         -        2.2 s           1\n");
    EXPECT_EQ(ClosingTable({hostile}).find('\x1b'), std::string::npos);

    // A serial number is a device's descriptor string, and a place an edited history's text.
    UpdateRecord unit = plain;
    unit.usbSerial = HOSTILE;
    unit.usbPath = "1-1\x1b[K";
    const std::string table = ClosingTable({unit});
    EXPECT_EQ(table.find('\x1b'), std::string::npos) << table;
    EXPECT_NE(table.find("  " + HOSTILE_SHOWN + " at 1-1\\x1b[K  "), std::string::npos) << table;
}

// A board that writes into a memory buffer, on a clock the test sets.
class BoardOutput {
public:
    BoardOutput() : m_file(std::tmpfile()) {}
    ~BoardOutput() { std::fclose(m_file); }
    std::FILE* File() { return m_file; }
    std::string Text() {
        std::fflush(m_file);
        std::rewind(m_file);
        std::string text;
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, m_file)) > 0) text.append(buffer, n);
        return text;
    }

private:
    std::FILE* m_file;
};

TEST(ProgressBoard, WithoutATerminalWritesEveryLineAfterItsDevicesName) {
    BoardOutput out;
    ProgressBoard board(out.File(), {"A", "B (2)"}, 1000, false, 80, [] { return 0.0; });
    board.Note("tarnet-update: updating 2 devices at once");
    board.DeviceOutput(1, "progress:    500 / 1000 ( 50%)");
    board.DeviceOutput(0, "Error: Transfer error occurred.");
    board.Ended(0, "TransferError", 1.25);
    board.Refresh(true);
    EXPECT_EQ(out.Text(),
              "tarnet-update: updating 2 devices at once\n"
              "B (2): progress:    500 / 1000 ( 50%)\n"
              "A: Error: Transfer error occurred.\n"
              "A: ended: TransferError after 1.2 s\n");
}

TEST(ProgressBoard, OnATerminalRedrawsOneLinePerDeviceInPlaceWithMessagesAbove) {
    BoardOutput out;
    double now = 0;
    ProgressBoard board(out.File(), {"A", "Bb"}, 1000, true, 60, [&] { return now; });
    board.Refresh();
    EXPECT_EQ(out.Text(), "\rA   starting\x1b[K\n\rBb  starting\x1b[K\n");

    board.DeviceOutput(0, "MIDI IN \"A\": 0, MIDI OUT \"A\": 0");
    board.DeviceOutput(1, "status: Erasing Flash memory.");
    board.DeviceOutput(0, "progress:    100 / 1000 ( 10%)");
    now = 1;
    board.DeviceOutput(0, "progress:    500 / 1000 ( 50%)");
    board.Refresh();  // a second after the first drawing: redrawn
    std::string text = out.Text();
    const std::string second = text.substr(text.find("\x1b[2A"));
    EXPECT_EQ(second.substr(0, 5), "\x1b[2A\r");
    EXPECT_NE(second.find("A    50% ["), std::string::npos) << second;
    EXPECT_NE(second.find("ETA 0:01"), std::string::npos) << second;
    EXPECT_NE(second.find("\rBb  Erasing Flash memory.\x1b[K\n"), std::string::npos) << second;

    // A device's message takes the place of the first line; the board follows below it.
    const std::size_t before = text.size();
    board.DeviceOutput(1, "Error: Transfer error occurred.");
    board.Ended(1, "TransferError", 0.8);
    board.DeviceOutput(0, "progress:   1000 / 1000 (100%)");
    board.Ended(0, "Completed", 2.2);
    board.Refresh(true);
    text = out.Text().substr(before);
    EXPECT_EQ(text.substr(0, text.find('\n') + 1), "\x1b[2A\rBb: Error: Transfer error occurred.\x1b[K\n");
    EXPECT_NE(text.find("\rA   100% Completed in 2.2 s\x1b[K\n\rBb    0% TransferError after 0.8 s\x1b[K\n"),
              std::string::npos)
        << text;
    // No line reaches the last column, so none wraps.
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = text.substr(start, end - start);
        for (const char* esc : {"\x1b[K", "\x1b[2A", "\r"}) {
            for (std::size_t at; (at = line.find(esc)) != std::string::npos;) line.erase(at, std::string(esc).size());
        }
        EXPECT_LT(DisplayWidth(line), 60) << line;
    }
}

TEST(ProgressBoard, OnATerminalTakesADevicesIdentityAsItsPhaseAndLeavesTheUnitToTheClosingTable) {
    BoardOutput out;
    ProgressBoard board(out.File(), {"A"}, 1000, true, 60, [] { return 0.0; });
    board.DeviceOutput(0, "MIDI IN \"A\": 0, MIDI OUT \"A\": 0");
    board.DeviceOutput(0, "device: model 0x6A, software revision 31 30 30 30, USB serial A1B2C3, USB path 1-1.2");
    board.Refresh(true);
    EXPECT_EQ(out.Text(), "\rA  identified\x1b[K\n");

    // Without a terminal the line goes out as it came, after the device's name.
    BoardOutput plain;
    ProgressBoard lines(plain.File(), {"A"}, 1000, false, 80, [] { return 0.0; });
    lines.DeviceOutput(0, "device: model 0x6A, software revision 31 30 30 30");
    EXPECT_EQ(plain.Text(), "A: device: model 0x6A, software revision 31 30 30 30\n");
}

TEST(ProgressBoard, ShowsControlCharactersOfNamesAndOfTheDevicesLinesEscaped) {
    BoardOutput plain;
    ProgressBoard lines(plain.File(), {HOSTILE}, 1000, false, 80, [] { return 0.0; });
    lines.DeviceOutput(0, "Error: \x1b[31mred");
    lines.Ended(0, "Aborted\r", 1.0);
    EXPECT_EQ(plain.Text(), HOSTILE_SHOWN + ": Error: \\x1b[31mred\n" + HOSTILE_SHOWN + ": ended: Aborted\\x0d after 1.0 s\n");

    BoardOutput out;
    ProgressBoard board(out.File(), {HOSTILE, "B"}, 1000, true, 80, [] { return 0.0; });
    board.DeviceOutput(1, "status: \x1b[2J");
    board.DeviceOutput(0, "Error: \x1b[31mred");
    board.Refresh(true);
    const std::string text = out.Text();
    EXPECT_EQ(text.substr(0, text.find('\n') + 1), "\r" + HOSTILE_SHOWN + ": Error: \\x1b[31mred\x1b[K\n");
    // The names' column is as wide as the escaped name.
    EXPECT_NE(text.find("\r" + HOSTILE_SHOWN + "  starting\x1b[K\n\rB" + std::string(DisplayWidth(HOSTILE_SHOWN) - 1, ' ') +
                        "  \\x1b[2J\x1b[K\n"),
              std::string::npos)
        << text;
}

// ----- One record per update, over the stand-in copy (update_copy_probe) -----

using probe::ProbeRun;

// Every order in which a copy's records can fail: both written; killed after its history line;
// its report not written after its history line (none there, or one that does not read); its
// history append failed but its report written; killed before either. Each update has exactly
// one record in the history, under the run id that the runner gave its copy, and the copy's own
// where it kept one.
TEST_F(ProbeRun, EveryUpdateHasExactlyOneRecordInTheHistoryWhicheverOfItsCopysWritesFailed) {
    const std::vector<std::string> devices = {"A:history,report", "B:history,kill", "C:history,badreport",
                                              "D:report", "E:kill", "G:history"};
    EXPECT_EQ(RunAll(Options(devices)), 1) << Board();  // E did not complete

    const auto history = HistoryByDevice();
    const std::map<std::string, std::string> expected = {{"A", "Completed"}, {"B", "Completed"},
                                                         {"C", "Completed"}, {"D", "Completed"},
                                                         {"E", "Aborted"},   {"G", "Completed"}};
    std::map<std::string, std::string> endings;
    for (const auto& [label, records] : history) {
        for (const UpdateRecord& r : records) endings[label] += (endings[label].empty() ? "" : " ") + r.ending;
    }
    EXPECT_EQ(endings, expected) << Board();

    // One run id per copy, "<this run's part>-<copy>", and each record under its copy's id.
    const std::vector<UpdateRecord> report = Report();
    ASSERT_EQ(report.size(), devices.size()) << Board();
    std::string base;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const std::string label = devices[i].substr(0, 1);
        ASSERT_EQ(history.count(label), 1u) << label;
        const UpdateRecord& kept = history.at(label).front();
        ASSERT_TRUE(kept.runId.has_value()) << label;
        const std::string suffix = "-" + std::to_string(i + 1);
        ASSERT_GT(kept.runId->size(), suffix.size());
        EXPECT_EQ(kept.runId->substr(kept.runId->size() - suffix.size()), suffix) << *kept.runId;
        if (i == 0) base = kept.runId->substr(0, kept.runId->size() - suffix.size());
        EXPECT_EQ(*kept.runId, base + suffix);
        // The report and the closing table tell what the history tells, also of B and C, whose
        // copies left no readable report.
        EXPECT_EQ(report[i].midiIn, devices[i]);
        EXPECT_EQ(report[i].ending, expected.at(label)) << label;
        EXPECT_EQ(report[i].runId, kept.runId) << label;
    }
    EXPECT_EQ(history.at("B").front(), report[1]);
    EXPECT_NE(Board().find("\nB:history,kill       0x6A   Completed"), std::string::npos) << Board();
}

TEST_F(ProbeRun, WithoutTheHistoryNeitherTheCopiesNorTheRunnerAddToIt) {
    UpdateAllOptions options = Options({"A:history,report", "B:kill", "C:report"});
    options.history = false;
    EXPECT_EQ(RunAll(options), 1);
    EXPECT_FALSE(History().found);
    const std::vector<UpdateRecord> report = Report();
    ASSERT_EQ(report.size(), 3u) << Board();
    EXPECT_EQ(report[1].ending, "Aborted");
}

// A copy that the runner kills when its time is up, after its history line: the line stands as
// its record and the runner adds none (before the change it added "Aborted" beside it).
TEST_F(ProbeRun, ACopyKilledAtItsTimeOutAfterItsHistoryLineKeepsThatLineAsItsOneRecord) {
    UpdateAllOptions options = Options({"F:history,hang"});
    options.timeoutSec = 3;
    EXPECT_EQ(RunAll(options), 0) << Board();
    ASSERT_TRUE(Reached("F", "hang")) << "the copy did not reach its history line in 3 s: " << Board();
    const auto history = HistoryByDevice();
    ASSERT_EQ(history.count("F"), 1u);
    ASSERT_EQ(history.at("F").size(), 1u);
    EXPECT_EQ(history.at("F").front().ending, "Completed");
    ASSERT_EQ(Report().size(), 1u);
    EXPECT_EQ(Report().front(), history.at("F").front());
}

#if !defined(_WIN32)
TEST(ProgressBoard, NotesThatItsOutputWasLostAndGoesOnWithoutIt) {
    std::FILE* full = std::fopen("/dev/full", "w");
    if (full == nullptr) GTEST_SKIP() << "no /dev/full";
    for (const bool inPlace : {false, true}) {
        ProgressBoard board(full, {"A"}, 1000, inPlace, 80, [] { return 0.0; });
        EXPECT_FALSE(board.OutputLost());
        board.Note("tarnet-update: updating 1 device at once");
        EXPECT_TRUE(board.OutputLost());
        board.DeviceOutput(0, "progress:    500 / 1000 ( 50%)");
        board.Ended(0, "Completed", 1.0);
        board.Refresh(true);
        EXPECT_TRUE(board.OutputLost());
    }
    std::fclose(full);
    BoardOutput out;
    ProgressBoard board(out.File(), {"A"}, 1000, true, 80, [] { return 0.0; });
    board.Note("x");
    board.Refresh(true);
    EXPECT_FALSE(board.OutputLost());
}

TEST(ChildProcess, HandsBackTheOutputAndErrorLinesAndTheExitStatus) {
    ChildProcess child;
    std::string error;
    ASSERT_TRUE(child.Start("/bin/sh", {"-c", "echo one; echo two >&2; printf 'last'; exit 3"}, error)) << error;
    auto lines = std::async(std::launch::async, [&] {
        std::vector<std::string> got;
        std::string line;
        while (child.ReadLine(line)) got.push_back(line);
        return got;
    });
    ASSERT_EQ(lines.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(lines.get(), (std::vector<std::string>{"one", "two", "last"}));
    EXPECT_EQ(child.Wait(), 3);
}

TEST(ChildProcess, InterruptAsksTheChildToEndAndKillEndsIt) {
    for (const bool kill : {false, true}) {
        ChildProcess child;
        std::string error;
        ASSERT_TRUE(child.Start("/bin/sh", {"-c", "trap 'echo interrupted; exit 5' INT; echo ready; "
                                                  "while :; do sleep 0.05; done"},
                                error));
        // The shell prints "ready" once its trap is set; only then does the signal go out.
        std::promise<void> ready;
        auto lines = std::async(std::launch::async, [&] {
            std::vector<std::string> got;
            std::string line;
            while (child.ReadLine(line)) {
                got.push_back(line);
                if (line == "ready") ready.set_value();
            }
            return got;
        });
        ASSERT_EQ(ready.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
        if (kill) child.Kill();
        else child.Interrupt();
        ASSERT_EQ(lines.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        const auto got = lines.get();
        if (kill) {
            EXPECT_EQ(got, std::vector<std::string>{"ready"});
            EXPECT_EQ(child.Wait(), -1);
        } else {
            EXPECT_EQ(got, (std::vector<std::string>{"ready", "interrupted"}));
            EXPECT_EQ(child.Wait(), 5);
        }
    }
}

// A stand-in for tarnet-update that RunAll starts for each device: a shell script that knows its
// device ($device), its report ($report), its run id ($id) and a folder of the test's own ($dir).
class FakeCopy {
public:
    explicit FakeCopy(const std::string& body) {
        char dir[] = "/tmp/tarnet-fake-copy-XXXXXX";
        if (::mkdtemp(dir) == nullptr) return;
        m_dir = dir;
        std::ofstream script(Program());
        script << "#!/bin/sh\ndir='" << m_dir << "'\n"
               << "while [ $# -gt 0 ]; do\n"
               << "  case $1 in --device) device=$2;; --report) report=$2;; --record-id) id=$2;; esac; shift\n"
               << "done\n"
               << body << "\n";
        script.close();
        ::chmod(Program().c_str(), 0700);
    }
    ~FakeCopy() {
        std::error_code ec;
        if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
    }
    bool Made() const { return !m_dir.empty(); }
    std::string Program() const { return m_dir + "/copy.sh"; }
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }

private:
    std::string m_dir;
};

// Options for a run over `devices` with short limits; its board goes into `out`.
UpdateAllOptions FakeRun(const FakeCopy& copy, std::vector<std::string> devices, std::FILE* out) {
    UpdateAllOptions options;
    options.program = copy.Program();
    options.devices = std::move(devices);
    options.history = false;
    options.timeoutSec = 1;
    options.limits.timeoutGrace = std::chrono::milliseconds(0);
    options.limits.interruptGrace = std::chrono::milliseconds(0);
    options.limits.killWait = std::chrono::seconds(1);
    options.limits.outputDrain = std::chrono::seconds(1);
    options.out = out;
    return options;
}

TEST(RunAll, KeepsTheCopiesReportsInAFolderThatOnlyItsUserCanEnter) {
    FakeCopy copy("stat -c %a \"$(dirname \"$report\")\" >\"$dir/mode\"");
    ASSERT_TRUE(copy.Made());
    BoardOutput out;
    const mode_t umaskBefore = ::umask(022);
    const int status = RunAll(FakeRun(copy, {"A"}, out.File()));
    ::umask(umaskBefore);
    EXPECT_EQ(status, 1);  // the copy left no report
    EXPECT_EQ(ReadWholeFile(copy.Path("mode")).value_or("none"), "700\n");
}

TEST(RunAll, GivesUpOnACopyThatDoesNotEndWhenKilledAndRecordsItAborted) {
    // Device A's process leaves one behind that holds its output open, and never ends by itself;
    // device B completes and keeps its record (under its run id) in the history. Only A's record
    // is the runner's to keep there.
    FakeCopy copy("case $device in\n"
                  "  A) sleep 600 & echo $! >\"$dir/left-behind\"; exec sleep 600;;\n"
                  "  B) history=$XDG_STATE_HOME/tarnet-updater/history.jsonl\n"
                  "     mkdir -p \"$(dirname \"$history\")\"\n"
                  "     sed \"s/@ID@/$id/\" \"$dir/completed.jsonl\" >>\"$history\"\n"
                  "     cp \"$dir/completed.json\" \"$report\";;\n"
                  "esac");
    ASSERT_TRUE(copy.Made());
    UpdateRecord completed = Record("B", "Completed", 2000, std::vector<int>(ImageBlockCount(), 1));
    completed.programVersion = ProgramVersion();
    ASSERT_TRUE(WriteFileAtomically(copy.Path("completed.json"), ReportJson("tarnet-update", {completed})));
    UpdateRecord kept = completed;
    kept.runId = "@ID@";
    ASSERT_TRUE(WriteFileAtomically(copy.Path("completed.jsonl"), RecordJson(kept) + "\n"));
    ::setenv("XDG_STATE_HOME", copy.Path("state").c_str(), 1);

    BoardOutput out;
    UpdateAllOptions options = FakeRun(copy, {"A", "B"}, out.File());
    options.history = true;
    options.reportPath = copy.Path("report.json");
    auto run = std::async(std::launch::async, [&] { return RunAll(options); });
    const bool ended = run.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    // The process left behind goes in any case, so that a run still waiting for it ends too.
    if (const auto pid = ReadWholeFile(copy.Path("left-behind"))) ::kill(std::stoi(*pid), SIGKILL);
    ASSERT_TRUE(ended) << "the run still waits for device A";
    EXPECT_EQ(run.get(), 1);
    ::unsetenv("XDG_STATE_HOME");

    const auto report = ParseReportJson(ReadWholeFile(options.reportPath).value_or(""));
    ASSERT_TRUE(report && report->size() == 2) << out.Text();
    EXPECT_EQ((*report)[0].midiIn, "A");
    EXPECT_EQ((*report)[0].ending, "Aborted");
    EXPECT_EQ((*report)[1], completed);
    const HistoryContents history = ReadHistory(copy.Path("state/tarnet-updater/history.jsonl"));
    std::map<std::string, std::string> endings;  // device -> ending, in whichever order they came
    for (const UpdateRecord& r : history.records) endings[r.midiIn] += r.ending;
    EXPECT_EQ(endings, (std::map<std::string, std::string>{{"A", "Aborted"}, {"B", "Completed"}}));
}

TEST(RunAll, TheReportAndTheClosingTableCarryEachDevicesSoftwareRevisionAndUnit) {
    // Device A's copy knows its unit and the revision that its device reported; device B is a
    // software device that never identified itself.
    FakeCopy copy("cp \"$dir/$device.json\" \"$report\"");
    ASSERT_TRUE(copy.Made());
    UpdateRecord a = Record("A", "Completed", 2000, std::vector<int>(ImageBlockCount(), 1));
    a.programVersion = ProgramVersion();
    a.softwareRevision = SoftwareRevision{0x31, 0x30, 0x30, 0x30};
    a.usbSerial = "A1B2C3";
    a.usbPath = "1-1.2";
    UpdateRecord b = Record("B", "IdentityTimeout", 3000, std::vector<int>(ImageBlockCount(), 0));
    b.programVersion = ProgramVersion();
    b.model.reset();
    ASSERT_TRUE(WriteFileAtomically(copy.Path("A.json"), ReportJson("tarnet-update", {a})));
    ASSERT_TRUE(WriteFileAtomically(copy.Path("B.json"), ReportJson("tarnet-update", {b})));

    BoardOutput out;
    UpdateAllOptions options = FakeRun(copy, {"A", "B"}, out.File());
    options.reportPath = copy.Path("report.json");
    EXPECT_EQ(RunAll(options), 1);  // B did not complete

    const std::string text = ReadWholeFile(options.reportPath).value_or("");
    const auto report = ParseReportJson(text);
    ASSERT_TRUE(report && report->size() == 2) << out.Text();
    EXPECT_EQ((*report)[0], a);
    EXPECT_EQ((*report)[1], b);
    EXPECT_NE(text.find("\"software_revision\":\"31 30 30 30\",\"usb_serial\":\"A1B2C3\",\"usb_path\":\"1-1.2\""),
              std::string::npos)
        << text;
    const std::string board = out.Text();
    EXPECT_NE(board.find("\nA       0x6A   Completed        31 30 30 30  A1B2C3 at 1-1.2     2.0 s"), std::string::npos)
        << board;
    EXPECT_NE(board.find("\nB       -      IdentityTimeout  -            -                   3.0 s"), std::string::npos)
        << board;
}

TEST(ChildProcess, AProgramThatDoesNotExistIsAnErrorNotAStart) {
    ChildProcess child;
    std::string error;
    EXPECT_FALSE(child.Start("/nonexistent/tarnet-update", {}, error));
    EXPECT_NE(error.find("/nonexistent/tarnet-update"), std::string::npos);
    EXPECT_EQ(child.Wait(), -1);
}
#endif

}  // namespace
