// Measures the time from a device message's arrival at the MIDI input to the host's answer
// leaving the MIDI output, with the product's 50 ms poll timer on the real timer service and the
// in-process loopback devices (so the figures show the dispatcher, not a MIDI system).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "UpdateEngine.h"
#include "platform/loopback/LoopbackMidiIn.h"
#include "platform/loopback/LoopbackMidiOut.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void Report(const char* what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    double sum = 0;
    for (double x : v) sum += x;
    std::printf("%-34s n=%zu  median %.2f ms  mean %.2f ms  p95 %.2f ms  worst %.2f ms\n", what, v.size(),
                v[v.size() / 2], sum / static_cast<double>(v.size()), v[v.size() * 95 / 100], v.back());
}

}  // namespace

int main() {
    platform::LoopbackMidiOut out;
    platform::LoopbackMidiIn in;
    HeadlessHost host;
    const auto device = out.AddDevice("dev");
    in.AddDevice("dev");
    std::atomic<std::int64_t> answeredAt{0};
    out.SetListener(device, [&](const std::uint8_t*, std::size_t) {
        answeredAt = Clock::now().time_since_epoch().count();
    });

    auto engine = std::make_shared<CUpdateEngine>(host, EnginePlatform{&out, &in, &platform::DefaultTimerService()});
    engine->SelectMidiOut(0);
    if (!engine->RestartInput(0) || engine->StartPollTimer() == 0) {
        std::printf("could not start the input or the timer\n");
        return 1;
    }

    std::mt19937 random(7);
    std::vector<double> identity;
    std::vector<double> block;
    const std::vector<std::uint8_t> identityRequest = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    // OP_BLOCK_REQUEST for 9216 bytes at 0xA0000: the answer is a whole 10551-byte block.
    const std::vector<std::uint8_t> blockRequest = {0xF0, 0x7D, 0x00, 0x6A, 0x03, 0x00, 0x00,
                                                    0x28, 0x00, 0x00, 0x00, 0x48, 0xF7};
    for (int i = 0; i < 60; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 50));
        const bool isBlock = (i % 2) == 1;
        answeredAt = 0;
        const auto sent = Clock::now();
        in.Deliver(0u, isBlock ? blockRequest : identityRequest);
        while (answeredAt.load() == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        const Clock::time_point answer{Clock::duration(answeredAt.load())};
        (isBlock ? block : identity).push_back(Ms(answer - sent));
    }
    engine->ReleaseTimer();
    std::printf("poll period %u ms; message arrival to answer sent (loopback devices):\n", POLL_PERIOD_MS);
    Report("identity request -> identity reply", identity);
    Report("9216-byte block request -> block", block);
    return 0;
}
