// Measures the 50 ms periodic timer on the platform's own timer service: runs it for about three
// seconds and prints how regular the ticks were. Not a test; the figures are for reading.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "CDxMTimer.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t PERIOD_MS = 50;
// Half a period past the 60th deadline, so stopping never races the last tick.
constexpr auto RUN_TIME = std::chrono::milliseconds(3000 + PERIOD_MS / 2);

struct Samples {
    std::mutex mutex;
    std::vector<Clock::time_point> ticks;
};

void RecordTick(std::uint32_t, std::uint32_t, std::uintptr_t user, std::uintptr_t, std::uintptr_t) {
    const Clock::time_point now = Clock::now();
    auto* samples = reinterpret_cast<Samples*>(user);
    std::lock_guard lock(samples->mutex);
    samples->ticks.push_back(now);
}

// Like RecordTick, but the fifth tick takes 130 ms, overrunning two deadlines.
void RecordTickWithOverrun(std::uint32_t id, std::uint32_t msg, std::uintptr_t user,
                           std::uintptr_t dw1, std::uintptr_t dw2) {
    RecordTick(id, msg, user, dw1, dw2);
    auto* samples = reinterpret_cast<Samples*>(user);
    std::size_t count = 0;
    {
        std::lock_guard lock(samples->mutex);
        count = samples->ticks.size();
    }
    if (count == 5) std::this_thread::sleep_for(std::chrono::milliseconds(130));
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

int main() {
    Samples samples;
    samples.ticks.reserve(200);
    CDxMTimer timer;
    const Clock::time_point start = Clock::now();
    if (timer.Start(PERIOD_MS, &RecordTick, reinterpret_cast<std::uintptr_t>(&samples)) == 0) {
        std::fprintf(stderr, "timer_jitter: no timer event could be created\n");
        return 1;
    }
    std::this_thread::sleep_for(RUN_TIME);
    timer.Stop();

    std::vector<Clock::time_point> ticks;
    {
        std::lock_guard lock(samples.mutex);
        ticks = samples.ticks;
    }
    std::printf("period %u ms, resolution %u ms, run %.0f ms\n", PERIOD_MS, timer.Caps().wPeriodMin,
                Ms(RUN_TIME));
    std::printf("ticks: %zu (ideal %lld)\n", ticks.size(),
                static_cast<long long>(RUN_TIME / std::chrono::milliseconds(PERIOD_MS)));
    if (ticks.size() < 2) return 1;

    std::vector<double> intervals;
    for (std::size_t i = 1; i < ticks.size(); ++i) intervals.push_back(Ms(ticks[i] - ticks[i - 1]));
    std::vector<double> sorted = intervals;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    const double median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    const double mean = std::accumulate(sorted.begin(), sorted.end(), 0.0) / static_cast<double>(n);
    const double worstInterval = *std::max_element(sorted.begin(), sorted.end(), [&](double a, double b) {
        return std::abs(a - PERIOD_MS) < std::abs(b - PERIOD_MS);
    });

    // Deviation of tick k (1-based) from start + k * period, measured from the moment Start was
    // called, so a late first tick counts as well.
    double worstDeviation = 0;
    for (std::size_t k = 0; k < ticks.size(); ++k) {
        const Clock::time_point ideal =
            start + static_cast<std::int64_t>(k + 1) * std::chrono::milliseconds(PERIOD_MS);
        worstDeviation = std::max(worstDeviation, std::abs(Ms(ticks[k] - ideal)));
    }
    std::printf("interval median %.3f ms, mean %.3f ms, min %.3f ms, max %.3f ms, furthest from the period %.3f ms\n",
                median, mean, sorted.front(), sorted.back(), worstInterval);
    std::printf("worst deviation from the ideal schedule: %.3f ms\n", worstDeviation);

    // A tick that overruns: the missed deadlines are skipped, not made up in a burst, and the
    // following ticks keep to the original schedule.
    Samples overrun;
    const Clock::time_point overrunStart = Clock::now();
    timer.Start(PERIOD_MS, &RecordTickWithOverrun, reinterpret_cast<std::uintptr_t>(&overrun));
    std::this_thread::sleep_for(std::chrono::milliseconds(10 * PERIOD_MS + PERIOD_MS / 2));
    timer.Stop();
    std::printf("overrun of tick 5 by 130 ms: ticks at");
    for (const Clock::time_point t : overrun.ticks) std::printf(" %.1f", Ms(t - overrunStart));
    std::printf(" ms (%zu ticks in %u ms)\n", overrun.ticks.size(), 10 * PERIOD_MS + PERIOD_MS / 2);
    return 0;
}
