#include "OneUpdate.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ConsoleHost.h"
#include "DeviceChoice.h"
#include "EngineTexts.h"
#include "Interrupt.h"
#include "RecordTable.h"
#include "RunnerMidi.h"
#include "TerminalText.h"
#include "UpdateRecord.h"
#include "platform/MidiApi.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

// The phase that a run reached, for the closing line.
const char* PhaseName(RunPhase phase) {
    switch (phase) {
        case RunPhase::NotStarted: return "before the identity request";
        case RunPhase::Identification: return "identification";
        case RunPhase::Erase: return "erase";
        case RunPhase::Transfer: return "transfer";
        case RunPhase::Finish: return "finish";
    }
    return "unknown";
}

// How the wait for a run ended.
struct RunEnd {
    bool started = false;
    bool interrupted = false;
    std::optional<UpdateOutcome> outcome;  // none: no end within the time-out (or not started)
    double ms = 0;                         // from Execute to the end of the wait

    bool Completed() const { return outcome == UpdateOutcome::Completed; }
    std::string Ending() const {
        return !started      ? ENDING_NOT_STARTED
               : Completed() ? EndingName(UpdateOutcome::Completed)
               : interrupted ? ENDING_INTERRUPTED
               : outcome     ? EndingName(*outcome)
                             : ENDING_NO_END;
    }
};

// Presses Execute on MIDI IN `in` and waits for the run's end, at most `timeoutSec`; in slices,
// so that Ctrl+C closes the run as closing the window does.
RunEnd RunUpdate(CUpdateEngine& engine, int in, int timeoutSec) {
    RunEnd end;
    const auto start = SteadyClock::now();
    end.started = engine.OnExecute(in);
    if (end.started) {
        const auto deadline = start + std::chrono::seconds(timeoutSec);
        while (!end.outcome && SteadyClock::now() < deadline) {
            if (InterruptCount() > 0) {
                end.interrupted = true;
                engine.OnWindowClosing();
                end.outcome = engine.WaitForRunEnd(CUpdateEngine::WORKER_END_LIMIT);
                break;
            }
            end.outcome = engine.WaitForRunEnd(std::chrono::milliseconds(100));
        }
    }
    end.ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
    return end;
}

// As the window does when it closes: stop input, wake a waiting run, stop the timer; then the
// run's worker ends.
void CloseEngine(CUpdateEngine& engine) {
    engine.OnWindowClosing();
    engine.ReleaseTimer();
    CUpdateEngine::WaitForWorkers(CUpdateEngine::WORKER_END_LIMIT);
}

// The counts of the JACK client, for --counts.
void PrintCounts() {
    const platform::MidiSystemCounts c = platform::DefaultMidiSystemCounts();
    if (!c.kept) {
        std::printf("counts: kept on JACK only\n");
        return;
    }
    std::printf("jack: client \"%s\"; cycles %llu late-cycles %llu events-written %llu events-read %llu "
                "events-lost %llu\n",
                c.client.c_str(), static_cast<unsigned long long>(c.cycles),
                static_cast<unsigned long long>(c.lateCycles), static_cast<unsigned long long>(c.eventsWritten),
                static_cast<unsigned long long>(c.eventsRead), static_cast<unsigned long long>(c.lostEvents));
}

// The closing lines after the run has been closed, and the records kept; the exit status.
int FinishRun(const RunnerOptions& o, const RunEnd& end, const UpdateRecord& record, RunPhase reached) {
    if (end.started && !end.outcome && !end.interrupted) std::printf("tarnet-update: no end after %d s\n", o.timeoutSec);
    if (end.outcome == UpdateOutcome::DeviceGone) std::printf("tarnet-update: device disconnected\n");
    const bool recordsKept = KeepRecords({record}, o.reportPath, o.history);
    if (o.measure) {
        const double floor = UpdateFloorMs();
        std::printf("update: %.0f ms; floor %.0f ms (one %u ms tick per block, 36 blocks, + 2 ticks); ratio %.2f\n",
                    end.ms, floor, POLL_PERIOD_MS, end.ms / floor);
    }
    if (o.counts) PrintCounts();
    if (end.Completed()) {
        std::printf("tarnet-update: update completed\n");
    } else if (!end.started) {
        std::printf("tarnet-update: update FAILED (not started)\n");
    } else {
        std::printf("tarnet-update: update FAILED (%s; reached %s)\n",
                    end.interrupted ? "interrupted" : end.outcome ? OutcomeName(*end.outcome) : "no end",
                    PhaseName(reached));
    }
    return end.Completed() && recordsKept ? 0 : 1;
}

}  // namespace

void PrintDeviceLists(CUpdateEngine& engine) {
    const auto print = [](const char* title, const std::vector<std::string>& names) {
        std::printf("%s devices:\n", title);
        for (std::size_t i = 0; i < names.size(); ++i) std::printf("  %zu: %s\n", i, EscapeControls(names[i]).c_str());
    };
    print("MIDI OUT", engine.MidiOutDeviceNames());
    print("MIDI IN", engine.MidiInDeviceNames());
}

int UpdateOneDevice(const RunnerOptions& o) {
    RunnerMidi midi(o.loopback, o.inName);
    auto console = std::make_shared<ConsoleHost>(o.quiet);
    auto engine = std::make_shared<CUpdateEngine>(console, midi.Platform(), o.timings);
    const int in = FindDevice(engine->MidiInDeviceNames(), o.inName);
    const CUpdateEngine::DeviceListing outs = engine->MidiOutDevices();
    const int out = FindDevice(outs.names, o.outName);
    // The unit that the update goes to: the MIDI OUT device's, where the system tells it.
    const platform::MidiDevUnit unit = out >= 0 ? outs.units[static_cast<std::size_t>(out)] : platform::MidiDevUnit{};
    if (!o.quiet) {
        std::printf("MIDI IN \"%s\": %d, MIDI OUT \"%s\": %d\n", EscapeControls(o.inName).c_str(), in,
                    EscapeControls(o.outName).c_str(), out);
    }
    engine->SelectMidiOut(out);
    engine->StartPollTimer();
    console->StartRecord(o.inName, o.outName, unit);

    const RunEnd end = RunUpdate(*engine, in, o.timeoutSec);
    UpdateRecord record = console->FinishRecord(end.Ending());
    if (!o.recordId.empty()) record.runId = o.recordId;
    console->EndProgress(end.Completed());
    // The window stays open a while and keeps answering the device's own requests.
    if (!end.interrupted && o.lingerMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(o.lingerMs));
    CloseEngine(*engine);
    if (o.rescan) {
        std::printf("rescan:\n");
        PrintDeviceLists(*engine);
    }
    const RunPhase reached = engine->PhaseReached();
    engine.reset();
    return FinishRun(o, end, record, reached);
}
