// The registry that tells the module which plugin a worker thread serves.

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qpp-runtime.h"

namespace {

qppInstance *FakePlugin(uintptr_t n) { return reinterpret_cast<qppInstance *>(n * 64); }

}  // namespace

TEST(Registry, EachThreadFindsItsOwnPlugin)
{
    constexpr int threads = 8;
    std::atomic<int> failures{0};
    std::atomic<int> registered{0};
    std::atomic<bool> release{false};
    std::vector<std::thread> workers;

    for (int i = 1; i <= threads; i++) {
        workers.emplace_back([&, i] {
            qppRuntime::AddInstance(FakePlugin(i));
            // A second registration for the same thread does not replace.
            qppRuntime::AddInstance(FakePlugin(100 + i));
            registered++;
            while (! release) std::this_thread::yield();
            for (int n = 0; n < 1000; n++) {
                if (qppRuntime::GetInstance() != FakePlugin(i)) failures++;
            }
            qppRuntime::RemoveInstance();
            if (qppRuntime::GetInstance() != nullptr) failures++;
        });
    }
    while (registered < threads) std::this_thread::yield();
    EXPECT_EQ(qppRuntime::GetInstance(), nullptr);
    release = true;
    for (auto &worker : workers) worker.join();
    EXPECT_EQ(failures.load(), 0);
}
