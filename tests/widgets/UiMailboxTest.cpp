// Threads' results reach the window's thread whole, in order, and not after the mailbox is gone.
#include "widgets/UiMailbox.h"

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

namespace quarrow::map {
namespace {

TEST(UiMailbox, CallsOfSeveralThreadsRunOnItsThreadInTheirOrderAndNoneAfterItWent) {
    constexpr int PerThread = 500;
    UiMailbox mailbox;
    std::vector<int> seen[2]; // written on this thread only, by the calls
    int offThread = 0;
    {
        std::vector<std::jthread> producers;
        for (int producer = 0; producer < 2; ++producer)
            producers.emplace_back([&, producer] {
                for (int i = 0; i < PerThread; ++i)
                    mailbox.Post([&, producer, text = std::to_string(i)] {
                        offThread += QThread::currentThread() != mailbox.thread();
                        seen[producer].push_back(std::stoi(text));
                    });
            });
        // While they post, so that only the mailbox orders what they made before it is read.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (seen[0].size() + seen[1].size() < 2 * PerThread &&
               std::chrono::steady_clock::now() < end)
            QCoreApplication::processEvents();
    }
    EXPECT_EQ(0, offThread);
    for (const auto& numbers : seen) {
        ASSERT_EQ(std::size_t{PerThread}, numbers.size());
        for (int i = 0; i < PerThread; ++i)
            EXPECT_EQ(i, numbers[static_cast<std::size_t>(i)]);
    }

    bool ran = false;
    auto gone = std::make_unique<UiMailbox>();
    std::jthread([&] { gone->Post([&] { ran = true; }); }).join();
    gone.reset();
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran);
}

} // namespace
} // namespace quarrow::map
