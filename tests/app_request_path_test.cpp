// The path on which the update worker and the timer thread reach the window's controls.
#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <QEventLoop>
#include <QObject>
#include <QThread>
#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "UiRequestPath.h"

using namespace std::chrono_literals;
using Outcome = UiRequestPath::Outcome;

namespace {

struct Record {
    int caller;
    int sequence;
    bool onUiThread;
};

}  // namespace

TEST(RequestPath, RequestsFromOtherThreadsRunOnTheUiThreadInTheOrderEachThreadMadeThem) {
    QObject context;
    auto path = UiRequestPath::Open(&context);
    QThread* const ui = QThread::currentThread();

    std::mutex lock;
    std::vector<Record> records;
    std::atomic<int> finished{0};
    std::vector<std::thread> callers;
    constexpr int CALLERS = 3;
    constexpr int REQUESTS = 200;
    std::vector<std::vector<Outcome>> outcomes(CALLERS);
    for (int c = 0; c < CALLERS; ++c) {
        callers.emplace_back([&, c] {
            for (int i = 0; i < REQUESTS; ++i) {
                outcomes[c].push_back(path->Run([&, c, i] {
                    std::lock_guard<std::mutex> guard(lock);
                    records.push_back({c, i, QThread::currentThread() == ui});
                }));
            }
            ++finished;
        });
    }
    const bool done = apptest::PumpUntil([&] { return finished == CALLERS; }, 20s);
    if (!done) path->Close();  // lets the callers return so the test fails instead of hanging
    for (auto& t : callers) t.join();
    ASSERT_TRUE(done);

    ASSERT_EQ(records.size(), static_cast<std::size_t>(CALLERS * REQUESTS));
    std::vector<int> next(CALLERS, 0);
    for (const Record& r : records) {
        EXPECT_TRUE(r.onUiThread);
        EXPECT_EQ(r.sequence, next[r.caller]) << "caller " << r.caller;
        next[r.caller] = r.sequence + 1;
    }
    for (const auto& list : outcomes) {
        for (Outcome o : list) EXPECT_EQ(o, Outcome::Ran);
    }
}

TEST(RequestPath, ARequestFromTheUiThreadRunsAtOnceWithoutAnEventLoop) {
    QObject context;
    auto path = UiRequestPath::Open(&context);
    int value = 0;
    // A queued blocking call from the receiver's own thread would never return; this must.
    EXPECT_EQ(path->Run([&] { value = 42; }), Outcome::Ran);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(path->WaitingCount(), 0u);
}

TEST(RequestPath, AfterCloseEveryRequestFailsAtOnceAndNeverRuns) {
    QObject context;
    auto path = UiRequestPath::Open(&context);
    path->Close();
    EXPECT_FALSE(path->IsOpen());

    bool ran = false;
    EXPECT_EQ(path->Run([&] { ran = true; }), Outcome::NotRun);

    // From another thread, with nobody serving events: the answer must come without waiting.
    auto result = std::async(std::launch::async, [&] { return path->Run([&] { ran = true; }); });
    ASSERT_EQ(result.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(result.get(), Outcome::NotRun);
    apptest::PumpFor(20ms);
    EXPECT_FALSE(ran);
}

TEST(RequestPath, ARequestWaitingWhenTheWindowGoesAwayCompletesAsNotRun) {
    auto* context = new QObject();
    auto path = UiRequestPath::Open(context);
    std::atomic<bool> ran{false};
    auto result = std::async(std::launch::async, [&] { return path->Run([&] { ran = true; }); });
    // Events are not served here, so the request stays waiting until the context is destroyed.
    ASSERT_TRUE(testsupport::WaitFor([&] { return path->WaitingCount() == 1; }, 2s));
    delete context;  // destroys the receiver, which closes the path

    ASSERT_EQ(result.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(result.get(), Outcome::NotRun);
    apptest::PumpFor(20ms);
    EXPECT_FALSE(ran);
    EXPECT_FALSE(path->IsOpen());
    EXPECT_EQ(path->WaitingCount(), 0u);
}

TEST(RequestPath, WhileOneRequestHoldsItsCallerInANestedLoopOtherThreadsAreStillServed) {
    QObject context;
    auto path = UiRequestPath::Open(&context);
    std::future<Outcome> second;
    std::atomic<bool> secondRan{false};
    bool servedInsideTheBox = false;

    // The worker's "message box": a nested event loop inside its request. While it is open, a
    // request of another thread (the timer's) must be served.
    auto boxCaller = std::async(std::launch::async, [&] {
        return path->Run([&] {
            second = std::async(std::launch::async,
                                [&] { return path->Run([&] { secondRan = true; }); });
            servedInsideTheBox = apptest::PumpUntil(
                [&] { return second.wait_for(0ms) == std::future_status::ready; }, 5s);
        });
    });
    const bool boxEnded = apptest::PumpUntil(
        [&] { return boxCaller.wait_for(0ms) == std::future_status::ready; }, 10s);
    path->Close();  // whatever happened, nobody waits any more
    ASSERT_TRUE(boxEnded);
    EXPECT_EQ(boxCaller.get(), Outcome::Ran);
    EXPECT_TRUE(servedInsideTheBox);
    EXPECT_TRUE(secondRan);
    ASSERT_TRUE(second.valid());
    EXPECT_EQ(second.get(), Outcome::Ran);
}
