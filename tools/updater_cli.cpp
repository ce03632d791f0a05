// tarnet-update: runs one update through the engine in a terminal, without the window. It plays
// the window's part (lists, status line, progress bar, message boxes) on standard output.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <optional>
#include <thread>
#include <vector>

#include "EngineTexts.h"
#include "FirmwareImage.h"
#include "LoopbackLink.h"
#include "UpdateEngine.h"
#include "UpdateHost.h"
#include "platform/TimerApi.h"

namespace {

// The terminal stands in for the window; every request is served at once on the caller's thread,
// with one lock so lines from the worker and the timer thread never interleave.
class ConsoleHost : public IUpdateHost {
public:
    explicit ConsoleHost(bool quiet) : m_quiet(quiet) {}

    bool ShowStatus(const RunStatus& status) override {
        std::lock_guard<std::mutex> lock(m_lock);
        // One line per block would drown the progress lines; the progress shows the blocks.
        if (status != m_status && status.kind != RunStatus::Kind::DataTransmit &&
            status.kind != RunStatus::Kind::Empty && !m_quiet) {
            std::printf("status: %s\n", StatusText(status).c_str());
        }
        m_status = status;
        return true;
    }
    bool SetProgressPos(int position) override {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_quiet) {
            const int percent = static_cast<int>(100LL * position / IMAGE_SIZE);
            std::printf("progress: %6d / %d (%3d%%)\n", position, IMAGE_SIZE, percent);
        }
        return true;
    }
    bool EnableControl(HostControl control, bool enable) override {
        std::lock_guard<std::mutex> lock(m_lock);
        (void)control;
        (void)enable;
        return true;
    }
    bool ShowError(EngineError error) override {
        std::lock_guard<std::mutex> lock(m_lock);
        std::printf("Error: %s\n", ErrorText(error).c_str());
        return true;
    }

private:
    std::mutex m_lock;  // orders the lines of the worker and the timer thread
    const bool m_quiet;
    RunStatus m_status;  // guarded by m_lock
};

// Index of the device called `name` in a device list; the last match wins, as in the window.
// -1 when there is none.
int FindDevice(const std::vector<std::string>& names, const std::string& name) {
    int found = -1;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == name) found = static_cast<int>(i);
    }
    return found;
}

void ListDevices(CUpdateEngine& engine) {
    const auto print = [](const char* title, const std::vector<std::string>& names) {
        std::printf("%s devices:\n", title);
        for (std::size_t i = 0; i < names.size(); ++i) std::printf("  %zu: %s\n", i, names[i].c_str());
    };
    print("MIDI OUT", engine.MidiOutDeviceNames());
    print("MIDI IN", engine.MidiInDeviceNames());
}

const char USAGE[] =
    "usage: tarnet-update [options]\n"
    "Runs one firmware update in the terminal, without the window.\n"
    "  --device NAME   MIDI IN and MIDI OUT device (default \"USB Audio Device\")\n"
    "  --in NAME       MIDI IN device only      --out NAME   MIDI OUT device only\n"
    "  --list          list the MIDI devices and exit\n"
    "  --loopback      no MIDI system: play the device with the built-in simulator\n"
    "  --measure       print the duration beside the pacing that the protocol imposes\n"
    "  --quiet         no progress lines\n"
    "  --timeout SEC   give up after that long (default 600)\n"
    "  --linger MS     keep answering the device's own requests that long after the run\n"
    "                  (default 1000), as the window does while it stays open\n"
    "Exit status: 0 update completed, 1 update failed, 2 usage error.\n";

// What the protocol itself costs when the device answers at once: every answer waits for the
// next poll tick (half a period on average) and every block answer is followed by the pause.
double PacingMs() {
    const double tick = POLL_PERIOD_MS / 2.0;
    const int blocks = (IMAGE_SIZE + BLOCK_SIZE - 1) / BLOCK_SIZE;
    return blocks * (tick + BLOCK_PAUSE_MS) + 3 * tick;  // identity, erase, finish
}

}  // namespace

int main(int argc, char** argv) {
    std::string inName = "USB Audio Device";
    std::string outName = inName;
    bool list = false, loopback = false, measure = false, quiet = false;
    int timeoutSec = 600;
    int lingerMs = 1000;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tarnet-update: %s needs a value\n%s", a.c_str(), USAGE);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--device") inName = outName = value();
        else if (a == "--in") inName = value();
        else if (a == "--out") outName = value();
        else if (a == "--list") list = true;
        else if (a == "--loopback") loopback = true;
        else if (a == "--measure") measure = true;
        else if (a == "--quiet") quiet = true;
        else if (a == "--timeout") timeoutSec = std::atoi(value());
        else if (a == "--linger") lingerMs = std::atoi(value());
        else if (a == "--help" || a == "-h") { std::printf("%s", USAGE); return 0; }
        else { std::fprintf(stderr, "tarnet-update: unknown option %s\n%s", a.c_str(), USAGE); return 2; }
    }

    // In loopback mode the simulated device lives in this process.
    platform::LoopbackMidiOut loopOut;
    platform::LoopbackMidiIn loopIn;
    std::unique_ptr<devsim::LoopbackLink> link;
    EnginePlatform platform = EnginePlatform::Default();
    if (loopback) {
        devsim::DeviceSimulatorConfig config;
        config.answerDelayMin = std::chrono::milliseconds(0);
        config.answerDelayMax = std::chrono::milliseconds(0);
        config.expectedImage.assign(LoadFirmwareImage(), LoadFirmwareImage() + IMAGE_SIZE);
        link = std::make_unique<devsim::LoopbackLink>(loopOut, loopIn, inName, config);
        platform.midiOut = &loopOut;
        platform.midiIn = &loopIn;
    }

    auto console = std::make_shared<ConsoleHost>(quiet);
    auto engine = std::make_shared<CUpdateEngine>(console, platform);

    if (list) {
        ListDevices(*engine);
        return 0;
    }
    const int in = FindDevice(engine->MidiInDeviceNames(), inName);
    const int out = FindDevice(engine->MidiOutDeviceNames(), outName);
    if (!quiet) std::printf("MIDI IN \"%s\": %d, MIDI OUT \"%s\": %d\n", inName.c_str(), in, outName.c_str(), out);
    engine->SelectMidiOut(out);

    engine->StartPollTimer();
    const auto start = std::chrono::steady_clock::now();
    std::optional<UpdateOutcome> outcome;
    const bool started = engine->OnExecute(in);
    if (started) outcome = engine->WaitForRunEnd(std::chrono::seconds(timeoutSec));
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const bool completed = outcome == UpdateOutcome::Completed;
    if (lingerMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(lingerMs));

    // As the window does when it closes: stop input, wake a waiting run, stop the timer.
    engine->OnWindowClosing();
    engine->ReleaseTimer();
    CUpdateEngine::WaitForWorkers(CUpdateEngine::WORKER_END_LIMIT);
    engine.reset();
    link.reset();

    if (started && !outcome) std::printf("tarnet-update: no end after %d s\n", timeoutSec);
    if (measure) {
        const double pacing = PacingMs();
        std::printf("update: %.0f ms; protocol pacing: %.0f ms (36 x (%.0f ms tick wait + %u ms pause) + 3 x %.0f ms); ratio %.2f\n",
                    ms, pacing, POLL_PERIOD_MS / 2.0, BLOCK_PAUSE_MS, POLL_PERIOD_MS / 2.0, ms / pacing);
    }
    if (completed) {
        std::printf("tarnet-update: update completed\n");
    } else {
        std::printf("tarnet-update: update FAILED (%s)\n", outcome ? OutcomeName(*outcome) : "not started");
    }
    return completed ? 0 : 1;
}
