// The device at the far end of a raw MIDI device: the link's reader thread feeds the device.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>

#include "DevsimRun.h"
#include "DevsimTransports.h"
#include "RawMidiLink.h"

namespace {

// A message that began and never ended (its 0xF7 lost or changed on the way) never reaches the
// device, which then never answers it: say so, with its ends, as the device's view of it.
void PrintUnfinished(const std::vector<uint8_t>& rest) {
    if (rest.empty()) return;
    std::string text = "an unfinished message of " + std::to_string(rest.size()) + " bytes at the end:";
    char hex[4];
    for (size_t i = 0; i < rest.size(); ++i) {
        if (i == 8 && rest.size() > 16) {
            text += " ...";
            i = rest.size() - 8;
        }
        std::snprintf(hex, sizeof hex, " %02X", rest[i]);
        text += hex;
    }
    Print(text);
}

// The bytes read, their time on the wire at the byte rate, and the driver's counts.
void PrintTally(const DevsimOptions& options, const devsim::RawMidiLink::Tally& tally, double seconds) {
    char line[200];
    const double bytes = static_cast<double>(tally.read);
    std::snprintf(line, sizeof line, "raw MIDI: %.0f bytes read in %.1f s (wire time at %u bytes/s: %.1f s); ", bytes,
                  seconds, options.byteRate, options.byteRate > 0 ? bytes / options.byteRate : 0.0);
    Print(line + tally.Describe());
}

}  // namespace

int RunOnRawMidi(const DevsimOptions& options, devsim::DeviceSimulator& device, DeviceOutput& output) {
    devsim::RawMidiLink link;
    devsim::RawSysExSplitter splitter([&](const uint8_t* data, size_t size) { device.OnMessageFromHost(data, size); },
                                      devsim::BlockMessageLength);
    std::string error = "raw MIDI devices are Linux's";
#if defined(__linux__)
    auto port = devsim::OpenAlsaRawMidi(options.rawPath, static_cast<size_t>(options.rawBuffer), &error);
#else
    std::unique_ptr<devsim::RawMidiPort> port;
#endif
    if (port == nullptr) {
        std::fprintf(stderr, "devsim: %s\n", error.c_str());
        return 2;
    }
    std::ofstream capture;
    if (!options.capturePath.empty()) {
        capture.open(options.capturePath, std::ios::binary | std::ios::trunc);
        if (!capture) {
            std::fprintf(stderr, "devsim: can't write %s\n", options.capturePath.c_str());
            return 2;
        }
    }
    // Runs on the link's reader thread; the capture is written there too, before the bytes are
    // handled, so that it holds everything that was read also when handling them stops the run.
    link.Open(std::move(port), options.byteRate, [&](const uint8_t* d, size_t n) {
        if (capture.is_open()) capture.write(reinterpret_cast<const char*>(d), static_cast<std::streamsize>(n));
        splitter.Feed(d, n);
    });
    output.Attach([&link](const std::vector<uint8_t>& bytes) { return link.Write(bytes); },
                  "raw MIDI device refused a message");
    Print("ready on raw MIDI " + options.rawPath +
          (options.byteRate > 0 ? " at " + std::to_string(options.byteRate) + " bytes/s" : std::string()));
    const auto start = std::chrono::steady_clock::now();
    const bool timedOut = WaitForEnd(options, device);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    link.Close();  // no more input into the device; the driver's last counts are taken
    device.Stop();
    output.Detach();
    const devsim::RawMidiLink::Tally tally = link.Counts();
    PrintTally(options, tally, seconds);
    PrintUnfinished(splitter.Unfinished());
    if (const int ignored = device.Summary().garbage; ignored > 0)
        Print(std::to_string(ignored) + " runs of bytes that were no complete SysEx message ignored");
    if (capture.is_open()) capture.close();
    const long long lost = tally.Lost();
    return FinishRun(options, device, timedOut,
                     lost > 0 ? std::to_string(lost) + " bytes lost in the raw MIDI driver (" + tally.Describe() + ")"
                              : std::string());
}
