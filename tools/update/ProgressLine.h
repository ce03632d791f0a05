// Progress of a transfer in a terminal: one line redrawn in place with '\r', in the style of
// download tools,
//    42% [==============>                    ] 135.0/320.0 KiB  48.3 KiB/s  ETA 0:04
// and, when standard output is not a terminal, one plain line per step for scripts and logs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

// Formatting only; the caller writes the strings and measures the time. Speed and time left are
// taken from the first step shown onwards, so a long wait before the first byte (identification,
// erasing) does not count as a slow transfer.
class ProgressLine {
public:
    // `columns`: width of the terminal; lines stay one shorter so the cursor never wraps.
    ProgressLine(std::int64_t total, int columns);

    // The line for `done` bytes at `seconds` since any fixed start. Begins with '\r' and is padded
    // with blanks to the length of the longest line drawn before, so it covers that one.
    std::string Draw(std::int64_t done, double seconds);
    // The same line as it stands, without the '\r' and the padding, for callers that place it
    // themselves. Counts as a step for the speed, but not as a drawn line.
    std::string Text(std::int64_t done, double seconds);
    // The closing line, ending in '\n': the amount, the time since the first step and the speed.
    std::string Finish(std::int64_t done, double seconds);
    // Leaves the drawn line as it stands and moves to the next one ("\n"); empty when none is drawn.
    std::string Leave();
    // Blanks out the drawn line and returns the cursor to its start; empty when none is drawn.
    std::string Clear();

    bool Drawn() const { return m_drawn; }

private:
    // Bytes per second between the first step and this one; negative while unknown.
    double Rate(std::int64_t done, double seconds);
    std::string Pad(std::string line);

    std::int64_t m_total;
    int m_columns;
    bool m_started = false;
    std::int64_t m_firstDone = 0;
    double m_firstSeconds = 0;
    std::size_t m_longest = 0;
    bool m_drawn = false;
};

// Where tarnet-update sends its progress and its status lines. On a terminal the progress is one
// ProgressLine and a status line is written above it; elsewhere every step is a line
// "progress: <done> / <total> (<percent>%)". Not thread-safe: the caller serialises the calls.
//
// Each call says whether its text went out whole: false when the output refused it (a closed pipe,
// a full disk). Nothing else comes of it; an update goes on whatever happens to its output.
class ProgressOutput {
public:
    using Clock = std::function<double()>;  // seconds since any fixed start

    ProgressOutput(std::FILE* out, std::int64_t total, bool terminal, int columns, Clock clock = SteadySeconds);

    bool Progress(std::int64_t done);
    // Writes `text` and a newline as a line of its own.
    bool Line(const std::string& text);
    // Closes the progress line: the finish line after a completed transfer, else just a newline.
    bool End(bool completed);

    // Whether `out` is a terminal, and its width (80 when unknown).
    static bool IsTerminal(std::FILE* out);
    static int Columns(std::FILE* out);
    static double SteadySeconds();

private:
    // Writes `text` and flushes it; false when the output refused any of it.
    bool Write(const std::string& text);

    std::FILE* m_out;
    std::int64_t m_total;
    bool m_terminal;
    Clock m_clock;
    ProgressLine m_line;
    std::int64_t m_done = 0;
};
