// tarnet-update --all when its console closes (Windows): Windows ends the process at most 5 s after
// the close event, when the event's handler returns or its time is up. By then the runner must
// have ended its waits for its copies and kept what it knows: the table, a record per copy in the
// history, the report. Played with the handler as Windows calls it, on a thread of its own beside
// the runner, over stand-in copies (update_copy_probe); in a test program of its own, since a
// close is noted once for the whole process.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <string>

#include "Interrupt.h"
#include "TestSupport.h"
#include "UpdateAll.h"
#include "UpdateCopyProbe.h"

#include <windows.h>

namespace {

using namespace std::chrono_literals;
using probe::ProbeRun;

TEST_F(ProbeRun, AClosedConsoleEndsTheRunnersWaitsInTimeAndRecordsEveryCopyAsItStands) {
    InstallInterruptHandlers(InterruptMode::Runner);
    // A ends its update in order when asked; B never ends by itself; C has kept its record in
    // the history and then never ends.
    UpdateAllOptions options = Options({"A:wait,history,report", "B:hang", "C:history,hang"});
    // A Ctrl+C would leave the copies their usual time: the close's is shorter.
    options.limits.interruptGrace = UpdateAllLimits{}.interruptGrace;
    options.limits.killWait = UpdateAllLimits{}.killWait;
    options.limits.outputDrain = UpdateAllLimits{}.outputDrain;
    options.limits.closeGrace = 1000ms;
    options.limits.closeKillWait = 500ms;
    auto run = std::async(std::launch::async, [&] { return RunAll(options); });
    ASSERT_TRUE(testsupport::WaitFor([&] { return Reached("A", "wait") && Reached("B", "hang") && Reached("C", "hang"); },
                                     60s))
        << "the copies did not start";

    const auto closed = std::chrono::steady_clock::now();
    auto handler = std::async(std::launch::async, [] { return OnConsoleControl(CTRL_CLOSE_EVENT); });
    ASSERT_EQ(run.wait_for(30s), std::future_status::ready) << "the runner still waits for its copies";
    const auto ended = std::chrono::steady_clock::now();
    // Windows would still have let the process be: its handler holds it until the orderly end.
    EXPECT_EQ(handler.wait_for(0ms), std::future_status::timeout) << "the runner ended after Windows' limit";
    EXPECT_LT(ended - closed, CONSOLE_CLOSE_LIMIT);
    EXPECT_EQ(run.get(), 1);
    EndedInOrder();
    ASSERT_EQ(handler.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(handler.get());

    // Every copy as it stood: A ended in order, B was killed without a record, C's own record.
    const std::map<std::string, std::string> expected = {{"A", "Interrupted"}, {"B", "Aborted"}, {"C", "Completed"}};
    std::map<std::string, std::string> reported;
    for (const UpdateRecord& r : Report()) reported[r.midiIn.substr(0, 1)] = r.ending;
    EXPECT_EQ(reported, expected) << Board();
    std::map<std::string, std::string> kept;
    for (const auto& [label, records] : HistoryByDevice()) {
        for (const UpdateRecord& r : records) kept[label] += (kept[label].empty() ? "" : " ") + r.ending;
    }
    EXPECT_EQ(kept, expected) << Board();
    EXPECT_NE(Board().find("\nB:hang                 -      Aborted "), std::string::npos) << Board();
}

}  // namespace
