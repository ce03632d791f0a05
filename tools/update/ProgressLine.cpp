#include "ProgressLine.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>

namespace {

constexpr int MIN_BAR = 10;  // narrower than this, the bar is left out
constexpr int MAX_BAR = 50;

std::string Format(const char* format, double a, double b = 0) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, a, b);
    return buffer;
}

std::string Speed(double bytesPerSecond) {
    if (bytesPerSecond < 0) return "--.- KiB/s";
    if (bytesPerSecond >= 1024.0 * 1024.0) return Format("%.1f MiB/s", bytesPerSecond / (1024.0 * 1024.0));
    return Format("%.1f KiB/s", bytesPerSecond / 1024.0);
}

// m:ss, or h:mm:ss from an hour on.
std::string Duration(double seconds) {
    const auto s = static_cast<long long>(std::llround(std::max(0.0, seconds)));
    char buffer[32];
    if (s >= 3600) {
        std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(buffer, sizeof buffer, "%lld:%02lld", s / 60, s % 60);
    }
    return buffer;
}

}  // namespace

ProgressLine::ProgressLine(std::int64_t total, int columns)
    : m_total(std::max<std::int64_t>(total, 1)), m_columns(std::max(columns, 1)) {}

double ProgressLine::Rate(std::int64_t done, double seconds) {
    if (!m_started || done < m_firstDone) {  // first step, or a new transfer from lower down
        m_started = true;
        m_firstDone = done;
        m_firstSeconds = seconds;
    }
    const double span = seconds - m_firstSeconds;
    if (span <= 0 || done <= m_firstDone) return -1;
    return static_cast<double>(done - m_firstDone) / span;
}

std::string ProgressLine::Pad(std::string line) {
    const std::size_t length = line.size();
    if (length < m_longest) line.append(m_longest - length, ' ');
    m_longest = std::max(m_longest, length);
    return "\r" + line;
}

std::string ProgressLine::Draw(std::int64_t done, double seconds) {
    std::string line = Text(done, seconds);
    m_drawn = true;
    return Pad(line);
}

std::string ProgressLine::Text(std::int64_t done, double seconds) {
    done = std::clamp<std::int64_t>(done, 0, m_total);
    const double rate = Rate(done, seconds);
    const int percent = static_cast<int>(100 * done / m_total);

    const std::string amount = Format("%.1f/%.1f KiB", done / 1024.0, m_total / 1024.0);
    const std::string eta = rate > 0 ? Duration((m_total - done) / rate) : "-:--";
    const std::string tail = amount + "  " + Speed(rate) + "  ETA " + eta;
    const std::string head = Format("%3.0f%% ", percent);

    // Room left for "[bar]" within columns - 1.
    const int room = m_columns - 1 - static_cast<int>(head.size() + tail.size()) - 3;
    std::string line = head;
    if (room >= MIN_BAR) {
        const int width = std::min(room, MAX_BAR);
        const int filled = static_cast<int>(static_cast<std::int64_t>(width) * done / m_total);
        std::string bar(static_cast<std::size_t>(filled), '=');
        if (filled < width) {
            if (filled > 0) bar.back() = '>';
            bar.append(static_cast<std::size_t>(width - filled), ' ');
        }
        line += "[" + bar + "] ";
    }
    line += tail;
    if (static_cast<int>(line.size()) > m_columns - 1) line.resize(static_cast<std::size_t>(std::max(m_columns - 1, 0)));
    return line;
}

std::string ProgressLine::Finish(std::int64_t done, double seconds) {
    done = std::clamp<std::int64_t>(done, 0, m_total);
    const double rate = Rate(done, seconds);
    const int percent = static_cast<int>(100 * done / m_total);
    std::string line = Format("%3.0f%% ", percent) + Format("%.1f KiB", done / 1024.0) + " in " +
                       Duration(seconds - m_firstSeconds) + " (" + Speed(rate) + ")";
    if (static_cast<int>(line.size()) > m_columns - 1) line.resize(static_cast<std::size_t>(std::max(m_columns - 1, 0)));
    m_drawn = false;
    m_started = false;  // a later transfer measures its own speed
    return Pad(line) + "\n";
}

std::string ProgressLine::Leave() {
    if (!m_drawn) return {};
    m_drawn = false;
    m_started = false;
    return "\n";
}

std::string ProgressLine::Clear() {
    if (!m_drawn) return {};
    m_drawn = false;
    std::string blank(m_longest + 2, ' ');
    blank.front() = blank.back() = '\r';
    return blank;
}

ProgressOutput::ProgressOutput(std::FILE* out, std::int64_t total, bool terminal, int columns, Clock clock)
    : m_out(out), m_total(total), m_terminal(terminal), m_clock(std::move(clock)), m_line(total, columns) {}

bool ProgressOutput::Write(const std::string& text) {
    const bool written = std::fputs(text.c_str(), m_out) >= 0;
    return std::fflush(m_out) == 0 && written;
}

bool ProgressOutput::Progress(std::int64_t done) {
    m_done = done;
    if (m_terminal) return Write(m_line.Draw(done, m_clock()));
    const int percent = static_cast<int>(100LL * done / std::max<std::int64_t>(m_total, 1));
    char line[96];
    std::snprintf(line, sizeof line, "progress: %6" PRId64 " / %" PRId64 " (%3d%%)\n", done, m_total, percent);
    return Write(line);
}

bool ProgressOutput::Line(const std::string& text) {
    const bool redraw = m_line.Drawn();
    std::string out = m_line.Clear() + text + "\n";
    if (redraw) out += m_line.Draw(m_done, m_clock());
    return Write(out);
}

bool ProgressOutput::End(bool completed) {
    if (!m_line.Drawn()) return true;
    return Write(completed ? m_line.Finish(m_done, m_clock()) : m_line.Leave());
}

#if defined(_WIN32)
bool ProgressOutput::IsTerminal(std::FILE* out) { return ::_isatty(::_fileno(out)) != 0; }
int ProgressOutput::Columns(std::FILE*) { return 80; }
#else
bool ProgressOutput::IsTerminal(std::FILE* out) { return ::isatty(::fileno(out)) == 1; }

int ProgressOutput::Columns(std::FILE* out) {
    winsize size{};
    if (::ioctl(::fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}
#endif

double ProgressOutput::SteadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
