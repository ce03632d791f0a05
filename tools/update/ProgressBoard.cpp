#include "ProgressBoard.h"

#include <algorithm>
#include <cinttypes>
#include <cstdlib>

#include "TerminalText.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

constexpr const char* CURSOR_UP = "\x1b[%zuA";
constexpr const char* CLEAR_TO_END = "\x1b[K";

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

}  // namespace

ProgressBoard::ProgressBoard(std::FILE* out, std::vector<std::string> names, std::int64_t total, bool inPlace,
                             int columns, Clock clock)
    : m_out(out), m_total(std::max<std::int64_t>(total, 1)), m_inPlace(inPlace), m_columns(std::max(columns, 20)),
      m_clock(std::move(clock)) {
    // Names come from outside (USB descriptors): shown escaped, and measured so.
    for (std::string& name : names) {
        name = EscapeControls(name);
        m_nameWidth = std::max(m_nameWidth, DisplayWidth(name));
    }
    // The name takes at most half the line; the progress gets the rest.
    m_nameWidth = std::min(m_nameWidth, m_columns / 2);
    const int rest = m_columns - m_nameWidth - 2;
    for (std::string& name : names) m_devices.push_back(Device{std::move(name), "starting", 0, false, {}, 0, ProgressLine(m_total, rest)});
}

void ProgressBoard::DeviceOutput(std::size_t index, const std::string& line) {
    if (index >= m_devices.size()) return;
    Device& d = m_devices[index];
    if (!m_inPlace) {
        Write(d.name + ": " + EscapeControls(line) + "\n");
        return;
    }
    long long done = 0, total = 0;
    if (std::sscanf(line.c_str(), "progress: %lld / %lld", &done, &total) == 2) {
        d.done = done;
        d.transferring = true;
        d.line.Text(d.done, m_clock());  // the step counts for the speed when it arrives
    } else if (StartsWith(line, "status: ")) {
        if (!d.transferring) d.phase = EscapeControls(line.substr(8));
    } else if (StartsWith(line, "MIDI IN ")) {
        d.phase = "identifying";
    } else if (StartsWith(line, "device: ")) {
        d.phase = "identified";  // the closing table names the unit
    } else if (!StartsWith(line, "tarnet-update: update ")) {
        // Errors and anything unexpected stay readable above the board.
        WriteAbove(d.name + ": " + EscapeControls(line));
    }
    m_dirty = true;
}

void ProgressBoard::Ended(std::size_t index, const std::string& ending, double seconds) {
    if (index >= m_devices.size()) return;
    Device& d = m_devices[index];
    d.ending = EscapeControls(ending);
    d.seconds = seconds;
    m_dirty = true;
    if (!m_inPlace) {
        Write(d.name + ": ended: " + d.ending + " after " + Seconds(seconds) + "\n");
    }
}

void ProgressBoard::Note(const std::string& text) {
    if (m_inPlace) {
        WriteAbove(EscapeControls(text));
    } else {
        Write(EscapeControls(text) + "\n");
    }
}

std::string ProgressBoard::LineOf(Device& d, double now) {
    std::string line = PadWidth(FitWidth(d.name, m_nameWidth), m_nameWidth) + "  ";
    const int percent = static_cast<int>(100 * std::clamp<std::int64_t>(d.done, 0, m_total) / m_total);
    if (!d.ending.empty()) {
        char head[16];
        std::snprintf(head, sizeof head, "%3d%% ", percent);
        const bool completed = d.ending == "Completed";
        line += head + d.ending + (completed ? " in " : " after ") + Seconds(d.seconds);
    } else if (d.transferring) {
        line += d.line.Text(d.done, now);
    } else {
        line += d.phase;
    }
    return FitWidth(line, m_columns - 1);
}

void ProgressBoard::Draw() {
    std::string text;
    if (m_drawn) {
        char up[32];
        std::snprintf(up, sizeof up, CURSOR_UP, m_devices.size());
        text += up;
    }
    const double now = m_clock();
    for (Device& d : m_devices) {
        text += '\r';
        text += LineOf(d, now);
        text += CLEAR_TO_END;
        text += '\n';
    }
    Write(text);
    m_drawn = true;
    m_dirty = false;
    m_lastDraw = now;
}

void ProgressBoard::WriteAbove(const std::string& text) {
    std::string out;
    if (m_drawn) {
        char up[32];
        std::snprintf(up, sizeof up, CURSOR_UP, m_devices.size());
        out = up;
    }
    // The line takes the place of the board's first line; the board is drawn again below it.
    Write(out + "\r" + text + CLEAR_TO_END + "\n");
    m_drawn = false;
    Draw();
}

void ProgressBoard::Write(const std::string& text) {
    const bool written = std::fputs(text.c_str(), m_out) >= 0;
    if (std::fflush(m_out) != 0 || !written) m_outputLost = true;
}

void ProgressBoard::Refresh(bool force) {
    if (!m_inPlace || m_devices.empty()) return;
    if (!m_drawn || (m_dirty && (force || m_clock() - m_lastDraw >= MIN_REDRAW_SECONDS))) Draw();
}

bool ProgressBoard::CanDrawInPlace(std::FILE* out, std::size_t devices, int& columns) {
    columns = 80;
    int rows = 0;
#if defined(_WIN32)
    if (::_isatty(::_fileno(out)) == 0) return false;
    HANDLE console = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(out)));
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode) ||
        !SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
        return false;  // a console without escape sequences
    }
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(console, &info)) return false;
    columns = info.srWindow.Right - info.srWindow.Left + 1;
    rows = info.srWindow.Bottom - info.srWindow.Top + 1;
#else
    if (::isatty(::fileno(out)) != 1) return false;
    const char* term = std::getenv("TERM");
    if (term == nullptr || std::string(term) == "dumb") return false;
    winsize size{};
    if (::ioctl(::fileno(out), TIOCGWINSZ, &size) != 0) return false;
    columns = size.ws_col > 0 ? size.ws_col : 80;
    rows = size.ws_row;
#endif
    // The lines and the one the cursor waits on must fit: a line scrolled off the top can't be
    // reached again.
    return rows > static_cast<int>(devices) + 1;
}
