// tarnet-update's progress display: the terminal line's layout, speed and time left, its finish
// line, and the plain lines written when the output is not a terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "ProgressLine.h"

namespace {

constexpr std::int64_t TOTAL = 327680;
constexpr std::int64_t BLOCK = 9216;

// Everything written to a temporary file, read back.
std::string Contents(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string text;
    for (int c; (c = std::fgetc(f)) != EOF;) text.push_back(static_cast<char>(c));
    return text;
}

}  // namespace

TEST(ProgressLine, ShowsPercentBarAmountSpeedAndTimeLeftFromTheSecondStepOn) {
    ProgressLine line(TOTAL, 100);
    // One step alone gives no speed: the time before it was spent identifying and erasing.
    EXPECT_EQ(line.Draw(BLOCK, 10.0),
              "\r  2% [>                                                 ] 9.0/320.0 KiB  --.- KiB/s  ETA -:--");
    // 9216 bytes in one second: 9.0 KiB/s, 309248 bytes left take 33.6 s.
    EXPECT_EQ(line.Draw(2 * BLOCK, 11.0),
              "\r  5% [=>                                                ] 18.0/320.0 KiB  9.0 KiB/s  ETA 0:34");
    // (327680 - 9216) bytes in 35 s: 8.9 KiB/s.
    EXPECT_EQ(line.Draw(TOTAL, 45.0),
              "\r100% [==================================================] 320.0/320.0 KiB  8.9 KiB/s  ETA 0:00");
}

TEST(ProgressLine, StaysWithinTheTerminalAndLeavesTheBarOutWhereItWouldBeTooNarrow) {
    for (int columns : {200, 100, 80, 60, 50, 40, 20, 1}) {
        ProgressLine line(TOTAL, columns);
        line.Draw(BLOCK, 0.0);
        const std::string drawn = line.Draw(TOTAL / 2, 3.0);
        EXPECT_LE(drawn.size() - 1, static_cast<std::size_t>(columns > 1 ? columns - 1 : 0)) << columns;
        EXPECT_EQ(drawn[0], '\r');
    }
    ProgressLine wide(TOTAL, 200);  // the bar stops growing at 50
    EXPECT_NE(wide.Draw(TOTAL, 1.0).find("[" + std::string(50, '=') + "]"), std::string::npos);
    ProgressLine narrow(TOTAL, 45);
    EXPECT_EQ(narrow.Draw(TOTAL / 2, 1.0), "\r 50% 160.0/320.0 KiB  --.- KiB/s  ETA -:--");
}

TEST(ProgressLine, CoversALongerLineDrawnBeforeAndClearsOnlyWhatIsDrawn) {
    ProgressLine line(TOTAL, 100);
    EXPECT_EQ(line.Clear(), "");
    const std::string longer = line.Draw(10 * BLOCK, 0.0);   // "90.0/320.0 KiB  --.- KiB/s  ETA -:--"
    const std::string shorter = line.Draw(11 * BLOCK, 1.0);  // "99.0/320.0 KiB  9.0 KiB/s  ETA 0:25"
    EXPECT_EQ(shorter.size(), longer.size());
    EXPECT_EQ(shorter.back(), ' ');
    EXPECT_TRUE(line.Drawn());
    EXPECT_EQ(line.Clear(), "\r" + std::string(longer.size() - 1, ' ') + "\r");
    EXPECT_FALSE(line.Drawn());
    EXPECT_EQ(line.Clear(), "");
}

TEST(ProgressLine, GivesHoursOnceTheTimeLeftPassesAnHourAndMiBPerSecondWhenFast) {
    ProgressLine slow(TOTAL, 120);
    slow.Draw(0, 0.0);
    // 16 bytes per second: 327664 bytes left take 20479 s = 5:41:19.
    EXPECT_NE(slow.Draw(16, 1.0).find("0.0 KiB/s  ETA 5:41:19"), std::string::npos);
    ProgressLine fast(100LL * 1024 * 1024, 120);
    fast.Draw(0, 0.0);
    EXPECT_NE(fast.Draw(3LL * 1024 * 1024, 2.0).find("1.5 MiB/s  ETA 1:05"), std::string::npos);
}

TEST(ProgressLine, FinishesWithAmountTimeAndAverageSpeedAndStartsAfreshForALaterTransfer) {
    ProgressLine line(TOTAL, 100);
    line.Draw(BLOCK, 2.0);
    line.Draw(TOTAL / 2, 10.0);
    const std::string finish = line.Finish(TOTAL, 19.5);
    // (327680 - 9216) bytes in 17.5 s = 17.8 KiB/s; the line covers the bar drawn before.
    EXPECT_EQ(finish.substr(0, 38), "\r100% 320.0 KiB in 0:18 (17.8 KiB/s)  ");
    EXPECT_EQ(finish.back(), '\n');
    EXPECT_FALSE(line.Drawn());
    // A second transfer from the start: its speed counts from its own first step.
    EXPECT_NE(line.Draw(BLOCK, 100.0).find("--.- KiB/s"), std::string::npos);
    EXPECT_NE(line.Draw(2 * BLOCK, 101.0).find("9.0 KiB/s"), std::string::npos);
}

TEST(ProgressLine, ClampsAmountsOutsideTheTotal) {
    ProgressLine line(TOTAL, 100);
    EXPECT_EQ(line.Draw(-5, 0.0).substr(0, 6), "\r  0% ");
    EXPECT_EQ(line.Draw(TOTAL * 2, 1.0).substr(0, 6), "\r100% ");
}

TEST(ProgressOutput, WritesOnePlainLinePerStepWhenNotATerminal) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    {
        ProgressOutput out(f, TOTAL, false, 80, [] { return 0.0; });
        out.Line("status: Erasing Flash memory.");
        out.Progress(BLOCK);
        out.Progress(TOTAL);
        out.End(true);
    }
    EXPECT_EQ(Contents(f),
              "status: Erasing Flash memory.\n"
              "progress:   9216 / 327680 (  2%)\n"
              "progress: 327680 / 327680 (100%)\n");
    std::fclose(f);
}

TEST(ProgressOutput, OnATerminalWritesLinesAboveTheBarAndClosesItWithTheFinishLine) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    double now = 0;
    {
        ProgressOutput out(f, TOTAL, true, 45, [&] { return now; });
        out.Line("status: Erasing Flash memory.");  // no bar yet: nothing to clear
        out.Progress(TOTAL / 2);
        now = 1;
        out.Line("Error: x");  // cleared, written, bar drawn again
        out.End(true);
    }
    const std::string bar = "\r 50% 160.0/320.0 KiB  --.- KiB/s  ETA -:--";
    const std::string blank = "\r" + std::string(bar.size() - 1, ' ') + "\r";
    EXPECT_EQ(Contents(f), "status: Erasing Flash memory.\n" + bar + blank + "Error: x\n" + bar +
                               "\r 50% 160.0 KiB in 0:01 (--.- KiB/s)" + std::string(7, ' ') + "\n");
    std::fclose(f);
}

TEST(ProgressOutput, EndsAnUnfinishedBarWithANewlineAndWritesNothingWithoutOne) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    {
        ProgressOutput idle(f, TOTAL, true, 80, [] { return 0.0; });
        idle.End(false);
        idle.End(true);
    }
    EXPECT_EQ(Contents(f), "");
    {
        ProgressOutput out(f, TOTAL, true, 45, [] { return 0.0; });
        out.Progress(BLOCK);
        out.End(false);
        out.End(false);  // once closed, a second end adds nothing
    }
    EXPECT_EQ(Contents(f), "\r  2% 9.0/320.0 KiB  --.- KiB/s  ETA -:--\n");
    std::fclose(f);
}

#if !defined(_WIN32)
TEST(ProgressOutput, SaysWhenTheOutputRefusedALineAndWhenItTookIt) {
    std::FILE* full = std::fopen("/dev/full", "w");
    if (full == nullptr) GTEST_SKIP() << "no /dev/full";
    for (const bool terminal : {false, true}) {
        ProgressOutput out(full, TOTAL, terminal, 80, [] { return 0.0; });
        EXPECT_FALSE(out.Line("status: Erasing Flash memory."));
        EXPECT_FALSE(out.Progress(BLOCK));
        EXPECT_EQ(out.End(true), !terminal);  // without a drawn bar there is nothing to close
    }
    std::fclose(full);

    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    ProgressOutput out(f, TOTAL, true, 80, [] { return 0.0; });
    EXPECT_TRUE(out.Line("status: Erasing Flash memory."));
    EXPECT_TRUE(out.Progress(BLOCK));
    EXPECT_TRUE(out.End(false));
    std::fclose(f);
}
#endif
