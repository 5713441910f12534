// The registry that tells the module which plugin a worker thread serves.

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qpp-runtime.h"

TEST(Registry, EachThreadFindsItsOwnPlugin)
{
    auto fake = [](uintptr_t n) { return reinterpret_cast<qppInstance *>(n * 64); };
    constexpr int threads = 8;
    std::atomic<int> failures{0}, registered{0};
    std::atomic<bool> release{false};
    std::vector<std::thread> workers;
    for (int i = 1; i <= threads; i++)
        workers.emplace_back([&, i] {
            qppRuntime::AddInstance(fake(i));
            // A second registration for the same thread does not replace.
            qppRuntime::AddInstance(fake(100 + i));
            registered++;
            while (! release) std::this_thread::yield();
            for (int n = 0; n < 1000; n++) failures += qppRuntime::GetInstance() != fake(i);
            qppRuntime::RemoveInstance();
            failures += qppRuntime::GetInstance() != nullptr;
        });
    while (registered < threads) std::this_thread::yield();
    EXPECT_EQ(qppRuntime::GetInstance(), nullptr);
    release = true;
    for (auto &worker : workers) worker.join();
    EXPECT_EQ(failures.load(), 0);
}
