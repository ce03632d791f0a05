#include "DevsimRun.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Written by the signal handler, read by the thread that waits for the update.
std::atomic<bool> g_stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "used from a signal handler");

extern "C" void OnSignal(int) { g_stopRequested.store(true); }

std::mutex g_printLock;  // one line at a time on standard output

}  // namespace

void Print(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_printLock);
    std::printf("devsim: %s\n", line.c_str());
    std::fflush(stdout);
}

void InstallStopSignals() {
    struct sigaction action {};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool WaitForEnd(const DevsimOptions& options, devsim::DeviceSimulator& device) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (g_stopRequested.load()) return false;
        if (!options.serve) {
            if (device.WaitForCompletion(100ms)) return false;
        } else {
            std::this_thread::sleep_for(100ms);
        }
        if (options.timeoutSec > 0 && std::chrono::steady_clock::now() - start >= std::chrono::seconds(options.timeoutSec)) {
            return true;
        }
    }
}

int FinishRun(const DevsimOptions& options, devsim::DeviceSimulator& device, bool timedOut, const std::string& lost) {
    if (!options.outPath.empty() && !device.WriteImage(options.outPath))
        Print("can't write the image to " + options.outPath);
    std::string verdict;
    bool pass = device.Verdict(&verdict);
    if (!lost.empty()) {
        if (pass) verdict = "FAIL: " + verdict.substr(6);
        verdict += "; " + lost;
        pass = false;
    }
    if (timedOut && !pass) verdict.insert(6, "timed out after " + std::to_string(options.timeoutSec) + " s; ");
    if (g_stopRequested.load() && !pass) verdict.insert(6, "stopped by signal; ");
    Print(verdict);
    return pass ? 0 : 1;
}
