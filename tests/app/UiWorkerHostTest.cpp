// The workers' way to the UI thread, without a window: calls run there, leaving and waking
// release the workers at once.
#include "app/UiWorkerHost.h"

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// Lets the event loop run until the future is ready or the time is up.
template <typename T> bool PumpUntilReady(std::future<T>& result) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (result.wait_for(1ms) != std::future_status::ready) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents();
    }
    return true;
}

TEST(UiWorkerHost, AWorkersCallRunsOnTheUiThreadAndItsErrorReachesTheWorker) {
    UiWorkerHost host;
    QThread* ranOn = nullptr;
    auto worker = std::async(std::launch::async, [&] {
        host.Synchronize([&] { ranOn = QThread::currentThread(); });
        try {
            host.Synchronize([] { throw std::runtime_error("pane gone"); });
        } catch (const std::runtime_error& error) {
            return std::string(error.what());
        }
        return std::string();
    });
    ASSERT_TRUE(PumpUntilReady(worker));
    EXPECT_EQ(QThread::currentThread(), ranOn);
    EXPECT_EQ("pane gone", worker.get());
}

TEST(UiWorkerHost, LeavingReleasesAWaitingCallUnrunAndEveryLaterOneAndEndsSleeps) {
    UiWorkerHost host;
    std::atomic<int> ran{0};
    // The UI thread runs nothing here: the call waits until leaving releases it.
    auto caller = std::async(std::launch::async, [&] { host.Synchronize([&] { ++ran; }); });
    auto sleeper = std::async(std::launch::async, [&] { host.Sleep(600000); });
    EXPECT_EQ(std::future_status::timeout, caller.wait_for(50ms));
    host.Leave();
    EXPECT_EQ(std::future_status::ready, caller.wait_for(10s));
    EXPECT_EQ(std::future_status::ready, sleeper.wait_for(10s));
    std::async(std::launch::async, [&] { host.Synchronize([&] { ++ran; }); }).get();
    QCoreApplication::processEvents();
    EXPECT_EQ(0, ran);
}

TEST(UiWorkerHost, WakingEndsEverySleepUntilTheNextTask) {
    UiWorkerHost host;
    auto sleeper = std::async(std::launch::async, [&] { host.Sleep(600000); });
    EXPECT_EQ(std::future_status::timeout, sleeper.wait_for(50ms));
    host.WakeAll();
    EXPECT_EQ(std::future_status::ready, sleeper.wait_for(10s));
    host.Sleep(600000); // returns at once while woken
    host.Rearm();
    auto next = std::async(std::launch::async, [&] { host.Sleep(600000); });
    EXPECT_EQ(std::future_status::timeout, next.wait_for(50ms));
    host.WakeAll();
    EXPECT_EQ(std::future_status::ready, next.wait_for(10s));
}

} // namespace
