// The progress of several updates at once, one device a line.
//
// In place (a terminal tall enough): one line per device, redrawn where it stands,
//    USB Audio Device      42% [=====>       ] 135.0/320.0 KiB  48.3 KiB/s  ETA 0:04
//    USB Audio Device (2)  erasing
//    USB Audio Device (3)  100% Completed in 2.2 s
// with the devices' messages (errors) written above the lines. Otherwise every line of a device's
// output is written as it comes, after the device's name: "USB Audio Device (2): progress: ...".
//
// Names, the devices' lines and endings are shown with their control characters escaped
// (EscapeControls): they come from outside.
//
// Not thread-safe: one thread makes every call.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "ProgressLine.h"

class ProgressBoard {
public:
    using Clock = std::function<double()>;  // seconds since any fixed start

    ProgressBoard(std::FILE* out, std::vector<std::string> names, std::int64_t total, bool inPlace, int columns,
                  Clock clock = ProgressOutput::SteadySeconds);

    // One line of device `device`'s own output, as tarnet-update writes it when its output is not
    // a terminal ("progress: ...", "status: ...", "Error: ..."); updates that device's line.
    void DeviceOutput(std::size_t device, const std::string& line);
    // The device's update has ended with `ending` after `seconds`.
    void Ended(std::size_t device, const std::string& ending, double seconds);
    // A line of the runner's own, written above the board (or as it is).
    void Note(const std::string& text);
    // Redraws what changed; at most every `MIN_REDRAW_SECONDS` unless `force`.
    void Refresh(bool force = false);

    // Whether a write to the output has failed (a closed pipe, a full disk). Later writes are
    // still made; nothing else comes of it.
    bool OutputLost() const { return m_outputLost; }

    // Whether a board of `devices` lines is drawn in place on `out`: a terminal that takes
    // escape sequences and has room for all the lines. Also gives its width.
    static bool CanDrawInPlace(std::FILE* out, std::size_t devices, int& columns);

    static constexpr double MIN_REDRAW_SECONDS = 0.1;

private:
    struct Device {
        std::string name;
        std::string phase = "starting";
        std::int64_t done = 0;
        bool transferring = false;
        std::string ending;  // empty while it runs
        double seconds = 0;
        ProgressLine line;
    };

    std::string LineOf(Device& device, double now);
    void Draw();
    void WriteAbove(const std::string& text);
    // Writes `text` and flushes it; a failure is noted in m_outputLost.
    void Write(const std::string& text);

    std::FILE* m_out;
    std::int64_t m_total;
    bool m_inPlace;
    int m_columns;
    Clock m_clock;
    int m_nameWidth = 0;
    std::vector<Device> m_devices;
    bool m_drawn = false;   // the lines stand on the screen, the cursor below them
    bool m_dirty = true;
    double m_lastDraw = -1e9;
    bool m_outputLost = false;
};
