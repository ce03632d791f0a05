// Helpers shared by the tests: every wait has a deadline, so a deadlock fails instead of hanging.
#pragma once

#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace testsupport {

using namespace std::chrono_literals;

// Polls `condition` until it holds or `timeout` has passed; returns whether it held.
inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs `work` on a thread of its own and waits for it at most `limit`; false when it did not end
// by then. A thread that ended is joined; one that did not is left behind (detached), so the test
// fails instead of hanging. Only then: the Windows build's thread library can lose a thread that is
// detached while it starts, and the wait would time out on work that never ran.
template <typename Work>
bool EndsWithin(std::chrono::milliseconds limit, Work work) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ended = done->get_future();
    std::thread thread([done, work]() mutable {
        work();
        done->set_value();
    });
    if (ended.wait_for(limit) != std::future_status::ready) {
        thread.detach();
        return false;
    }
    thread.join();
    return true;
}

// True when the test run demands a JACK server (scripts/test.sh sets TARNET_REQUIRE_JACK=1); such
// tests then fail instead of skipping when no server answers.
inline bool JackRequired() {
    const char* v = std::getenv("TARNET_REQUIRE_JACK");
    return v != nullptr && v[0] == '1';
}

#if !defined(_WIN32)
// Sets an environment variable for one test and puts the former value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        if (value) ::setenv(name, value, 1);
        else ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (m_old) ::setenv(m_name, m_old->c_str(), 1);
        else ::unsetenv(m_name);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_name;
    std::optional<std::string> m_old;
};
#endif

}  // namespace testsupport
