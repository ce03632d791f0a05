// tarnet-soak-runs: whole update runs against the simulated device over the loopback MIDI devices,
// each closed at a random moment as the window closes (OnWindowClosing, ReleaseTimer), with a
// deadline on every run. A measurement for scripts/soak.sh, not a test of the test command.
//
// Every run must end in one of two ways: completed (the run's outcome, the device holds the whole
// image, the progress bar is full, no message box), or ended silently by the close (the outcome
// "window closed", no message box). Anything else is
// a wrong ending; a run whose worker has not ended within the deadline after the close is a hang.
// The device must never have seen a malformed, unexpected or wrongly addressed message.
//
// usage: tarnet-soak-runs [RUNS] [SEED]
// Prints one line per 1000 runs and a closing line with the counts; exit status 0 only when there
// was no hang and no wrong ending.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FirmwareImage.h"
#include "LoopbackLink.h"
#include "Messages.h"
#include "RecordingHost.h"
#include "UpdateEngine.h"
#include "platform/PosixTimerService.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Short timings, so that a run takes a fraction of a second; the reply time-out stays far above
// any answer of the simulator, so a time-out is a wrong ending.
EngineTimings SoakTimings() {
    EngineTimings t;
    t.replyTimeoutMs = 5000;
    t.blockPauseMs = 1;
    t.pollPeriodMs = 2;
    return t;
}

constexpr std::chrono::milliseconds END_DEADLINE = 20s;  // from the close to the end of the worker

enum class Ending { Completed, Closed, Wrong, Hang };

struct RunResult {
    Ending ending = Ending::Wrong;
    std::string why;
    std::chrono::microseconds took{0};
};

// One run: connect, "Execute", close after `closeAfter` (or when the run has ended, if earlier).
RunResult RunOnce(platform::PosixTimerService& timers, std::chrono::microseconds closeAfter) {
    g_modelId = g_acceptedModels[0];
    SetIdentityReplyModel(0x00);

    auto outOwner = std::make_unique<platform::LoopbackMidiOut>();
    auto inOwner = std::make_unique<platform::LoopbackMidiIn>();
    platform::LoopbackMidiOut& out = *outOwner;
    platform::LoopbackMidiIn& in = *inOwner;
    devsim::DeviceSimulatorConfig config;
    config.answerDelayMin = 0ms;
    config.answerDelayMax = 0ms;
    config.expectedImage.assign(LoadFirmwareImage(), LoadFirmwareImage() + IMAGE_SIZE);
    auto link = std::make_unique<devsim::LoopbackLink>(out, in, "USB Audio Device", config);
    auto host = std::make_shared<testsupport::RecordingHost>();
    auto engine = std::make_shared<CUpdateEngine>(host, EnginePlatform{&out, &in, &timers}, SoakTimings());

    RunResult result;
    const auto start = Clock::now();
    if (engine->StartPollTimer() == 0) {
        result.why = "the poll timer did not start";
        return result;
    }
    engine->SelectMidiOut(0);
    if (!engine->OnExecute(0)) {
        result.why = "no run was started";
        return result;
    }
    // Closes at the chosen moment; a run that ends first is closed at once.
    std::optional<UpdateOutcome> outcome =
        engine->WaitForRunEnd(std::chrono::duration_cast<std::chrono::milliseconds>(closeAfter));

    engine->OnWindowClosing();
    engine->ReleaseTimer();
    if (!outcome) outcome = engine->WaitForRunEnd(END_DEADLINE);
    const bool ended = outcome.has_value() && CUpdateEngine::WaitForWorkers(END_DEADLINE);
    result.took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
    if (!ended) {
        result.ending = Ending::Hang;
        result.why = "the worker did not end within the deadline after the close";
        // The worker holds its share of the engine; leave everything to it rather than pull the
        // devices from under it (the driver stops after a hang).
        (void)link.release();
        (void)outOwner.release();
        (void)inOwner.release();
        return result;
    }
    engine.reset();

    const auto summary = link->Simulator().Summary();
    const auto errors = host->Entries("error:");
    if (!errors.empty()) {
        result.why = "message box: " + errors.front();
    } else if (summary.garbage != 0 || summary.unexpected != 0 || summary.wrongModel != 0 ||
               summary.blocksMalformed != 0 || summary.blocksRefused != 0) {
        result.why = "the device saw a wrong message (garbage " + std::to_string(summary.garbage) +
                     ", unexpected " + std::to_string(summary.unexpected) + ", wrong model " +
                     std::to_string(summary.wrongModel) + ", malformed blocks " +
                     std::to_string(summary.blocksMalformed) + ")";
    } else if (*outcome == UpdateOutcome::Completed) {
        std::string verdict;
        const auto progress = host->Entries("progress:");
        if (!link->Simulator().Verdict(&verdict)) {
            result.why = "completed, but the device says " + verdict;
        } else if (progress.empty() || progress.back() != "progress:" + std::to_string(IMAGE_SIZE)) {
            result.why = "completed without the full progress bar";
        } else {
            result.ending = Ending::Completed;
        }
    } else if (*outcome == UpdateOutcome::WindowClosed) {
        result.ending = Ending::Closed;
    } else {
        result.why = "the run ended with outcome " + std::to_string(static_cast<int>(*outcome));
    }
    link.reset();
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const long runs = argc > 1 ? std::atol(argv[1]) : 10000;
    const unsigned seed = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10))
                                   : static_cast<unsigned>(std::random_device{}());
    std::mt19937 random(seed);
    platform::PosixTimerService timers;

    // The length of an undisturbed run (the median of three) decides the range of the close
    // moments.
    std::vector<std::chrono::microseconds> lengths;
    for (int i = 0; i < 3; ++i) {
        const RunResult calibration = RunOnce(timers, 60s);
        if (calibration.ending != Ending::Completed) {
            std::printf("soak-runs: an undisturbed run did not complete: %s\n", calibration.why.c_str());
            std::printf("soak-runs: runs 1 completed 0 closed 0 hangs %d wrong %d\n",
                        calibration.ending == Ending::Hang ? 1 : 0, calibration.ending == Ending::Hang ? 0 : 1);
            return 1;
        }
        lengths.push_back(calibration.took);
    }
    std::sort(lengths.begin(), lengths.end());
    const auto full = lengths[1];
    std::printf("soak-runs: seed %u, %ld runs, an undisturbed run takes %.1f ms; closes drawn from 0 to %.1f ms\n",
                seed, runs, full.count() / 1000.0, full.count() * 1.2 / 1000.0);
    std::fflush(stdout);

    std::uniform_int_distribution<long long> moment(0, full.count() * 12 / 10);
    long completed = 0, closed = 0, hangs = 0, wrong = 0;
    const auto start = Clock::now();
    for (long i = 1; i <= runs; ++i) {
        const std::chrono::microseconds closeAfter(moment(random));
        const RunResult r = RunOnce(timers, closeAfter);
        switch (r.ending) {
            case Ending::Completed: ++completed; break;
            case Ending::Closed: ++closed; break;
            case Ending::Wrong:
                ++wrong;
                std::printf("soak-runs: run %ld closed after %.1f ms: WRONG ENDING: %s\n", i,
                            closeAfter.count() / 1000.0, r.why.c_str());
                break;
            case Ending::Hang:
                ++hangs;
                std::printf("soak-runs: run %ld closed after %.1f ms: HANG: %s\n", i,
                            closeAfter.count() / 1000.0, r.why.c_str());
                break;
        }
        if (r.ending == Ending::Hang) {
            std::printf("soak-runs: stopping after a hang\n");
            std::printf("soak-runs: runs %ld completed %ld closed %ld hangs %ld wrong %ld\n", i, completed, closed,
                        hangs, wrong);
            std::fflush(stdout);
            std::_Exit(1);  // a worker still holds the engine; no orderly teardown is possible
        }
        if (i % 1000 == 0 || i == runs) {
            const double s = std::chrono::duration<double>(Clock::now() - start).count();
            std::printf("soak-runs: %ld runs in %.0f s: completed %ld, closed %ld, hangs %ld, wrong %ld\n", i, s,
                        completed, closed, hangs, wrong);
            std::fflush(stdout);
        }
    }
    std::printf("soak-runs: runs %ld completed %ld closed %ld hangs %ld wrong %ld\n", runs, completed, closed, hangs,
                wrong);
    return hangs == 0 && wrong == 0 ? 0 : 1;
}
