// What a careless daemon can do to the plugin: give up on a sync point and
// free it, hold a flow's mutex while it raises events, format addresses and
// read the tag while the worker works, and stop, reload and deliver without
// regard for the worker's pace.

#include <atomic>
#include <filesystem>
#include <future>
#include <set>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;
using Clock = std::chrono::steady_clock;

namespace {

// Waits until the kernel reports the thread tid asleep (blocked on a lock, say).
bool WaitUntilAsleep(std::atomic<pid_t> &tid, std::chrono::milliseconds timeout)
{
    for (auto until = Clock::now() + timeout; Clock::now() < until; std::this_thread::yield()) {
        if (tid == 0) continue;
        std::string stat = ReadFile("/proc/self/task/" + std::to_string(tid) + "/stat");
        size_t paren = stat.rfind(')');
        if (paren != std::string::npos && stat.substr(paren, 3) == ") S") return true;
    }
    return false;
}

// The thread of this process with that name, or 0.
pid_t FindThread(const std::string &name)
{
    for (auto &task : std::filesystem::directory_iterator("/proc/self/task"))
        if (ReadFile(task.path() / "comm") == name + "\n") return std::stoi(task.path().filename());
    return 0;
}

// Counts flow events and the addresses that are not MakeFlow's.
const char *flows_script = R"(
import qpp
count, wrong = 0, set()

def ProcessFlowEvent(event, flow):
    global count
    count += 1
    wrong.update({flow["lower_addr"], flow["upper_addr"]} - {"192.168.1.10", "93.184.216.34"})

def ProcessAgentEvent(event):
    if event == 99:
        qpp.print("flows: served %d, wrong %r\n" % (count, sorted(wrong)[:5]))
)";

}  // namespace

// A host that gave up waiting freed its sync point: the worker signals its
// own copy and goes on. An instance that never started (no Create) signals
// the sync points it holds when it is deleted.
TEST(SyncPoints, FreedOnesAreNotTouchedHeldOnesAreSignalled)
{
    TestHost host;
    host.WriteScriptConf(host.InstallScript("slow.py"));
    qdPluginProcessor *plugin = host.Start(), *idle = host.Create("python-idle");
    ASSERT_TRUE(plugin && idle);
    qdSyncPoint held[2];
    for (auto &sync : held) idle->DispatchEvent(qdPlugin::EVENT_SYNC, &sync);
    auto flow = MakeFlow();
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_NEW, flow);
    ASSERT_TRUE(host.log.WaitFor("slow: blocked"));
    for (int i = 0; i < 3; i++) {
        auto sync = std::make_unique<qdSyncPoint>();
        plugin->DispatchEvent(qdPlugin::EVENT_SYNC, sync.get());
        EXPECT_FALSE(sync->Wait(std::chrono::milliseconds(1)));
    }
    WriteFile(host.ModuleDir() + "/release", "");
    EXPECT_TRUE(TestHost::Sync(plugin));
    TestHost::Stop(plugin);
    TestHost::Stop(idle);
    for (auto &sync : held) EXPECT_TRUE(sync.Wait(std::chrono::seconds(1)));
    EXPECT_EQ(host.log.Count("slow: served 1"), 1u) << host.log.Text();
}

// A daemon thread holds a flow's mutex while another thread's event for it
// waits; events for other flows are queued at once, then the holder raises
// events for its flow itself. A third thread formats the addresses with
// ports under the address-text mutex: the script sees the addresses alone.
TEST(FlowLocks, HoldersAndAddressFormattersHoldUpNothing)
{
    TestHost host;
    qdPluginProcessor *plugin = host.StartScript("flows", flows_script);
    ASSERT_NE(plugin, nullptr);
    auto held = MakeFlow("held"), other = MakeFlow("other");
    const int events = 3000;
    std::atomic<bool> holding{false}, formatting{true};
    std::atomic<pid_t> waiter{0};
    bool asleep = false, served = false;
    Clock::duration took{};
    auto raise = [&](std::shared_ptr<qdFlow> &flow, int n) {
        for (int i = 0; i < n; i++)
            plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_UPDATED, flow);
    };
    RunOrDie({[&] {
                  {
                      std::lock_guard<std::recursive_mutex> guard(held->lock);
                      holding = true;
                      asleep = WaitUntilAsleep(waiter, deadline);
                      auto start = Clock::now();
                      raise(other, events);
                      took = Clock::now() - start;
                      raise(held, 10);
                  }
                  served = TestHost::Sync(plugin);
                  formatting = false;
              },
                 [&] {
                     while (! holding) std::this_thread::yield();
                     waiter = gettid();
                     raise(held, 1);
                 },
                 [&] {
                     while (formatting) {
                         for (auto *flow : {&held, &other}) {
                             std::lock_guard<std::recursive_mutex> guard(qdAddr::lock);
                             (*flow)->lower_addr.GetString(qdAddr::MakeFlags::PORT);
                             (*flow)->upper_addr.GetString(qdAddr::MakeFlags::PORT);
                         }
                     }
                 }},
        std::chrono::seconds(10), "host threads holding flows and formatting addresses");
    EXPECT_TRUE(asleep);
    EXPECT_TRUE(served);
    EXPECT_LT(took, std::chrono::seconds(1));
    // The waiting thread's event may have come after the sync point; what
    // is still queued when an instance is deleted is dropped.
    ASSERT_TRUE(TestHost::Sync(plugin));
    TestHost::Stop(plugin);
    EXPECT_EQ(host.log.Count("flows: served " + std::to_string(events + 11) + ", wrong []"), 1u)
        << host.log.Text();
}

// Daemon threads read the tag while the worker renames the instance after
// each module it loads: always a whole name. Re-imports import nothing more:
// from 3.13 on importlib.invalidate_caches() imports importlib.metadata (and
// email, zipfile...), memory not all returned when the interpreter ends.
TEST(Tag, ReadersSeeWholeNamesWhileTheWorkerRenamesAndReimports)
{
    TestHost host;
    std::string beta =
        host.WriteScript("tag_beta_longer_than_sso", "def ProcessAgentEvent(e): pass\n");
    std::string alpha = host.WriteScript("tag_alpha", R"(
import sys
import qpp

def ProcessAgentEvent(event):
    if event == 99:
        qpp.print("tag: metadata imported %r\n" % ("importlib.metadata" in sys.modules))
)");
    qdPluginProcessor *plugin = host.Start("python-tag-reader-test");
    ASSERT_NE(plugin, nullptr);

    const std::set<std::string> names = {
        "python-tag-reader-test", "tag_alpha", "tag_beta_longer_than_sso"};
    std::atomic<bool> stop{false};
    std::atomic<size_t> reads{0}, wrong{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; r++)
        readers.emplace_back([&] {
            for (; ! stop; reads++) wrong += names.count(plugin->GetTag()) == 0;
        });
    for (int i = 0; i < 40; i++) {
        host.WriteScriptConf(i % 2 ? alpha : beta);
        plugin->DispatchEvent(qdPlugin::EVENT_RELOAD);
        ASSERT_TRUE(TestHost::Sync(plugin));
    }
    stop = true;
    for (auto &t : readers) t.join();
    TestHost::Stop(plugin);
    EXPECT_GT(reads.load(), 0u);
    EXPECT_EQ(wrong.load(), 0u);
    EXPECT_EQ(host.log.Count("tag_alpha: callback function loaded"), 21u) << host.log.Text();
    EXPECT_EQ(host.log.Count("tag: metadata imported False"), 21u);
}

// A slow sink is waited for without the interpreter lock: other instances go on.
TEST(Dispatch, ASinkAtWorkDoesNotStopOtherInstances)
{
    TestHost host;
    std::promise<void> entered, open;
    std::shared_future<void> opened = open.get_future().share();
    qd_sink_register("gate", [&](const qdSinkPayload &) {
        entered.set_value();
        opened.wait_for(deadline);
    });
    host.WriteScript("gated", R"(
import qpp

def ProcessAgentEvent(event):
    if event == 11:
        qpp.print("gated: %r\n" % qpp.dispatch("gate", [], "x"))
)", "a");
    host.WriteScript("flows", flows_script, "b");
    qdPluginProcessor *a = host.Start("python-a", "a"), *b = host.Start("python-b", "b");
    ASSERT_TRUE(a && b);
    a->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    ASSERT_EQ(entered.get_future().wait_for(deadline), std::future_status::ready);
    auto flow = MakeFlow();
    b->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_UPDATED, flow);
    EXPECT_TRUE(TestHost::Sync(b, std::chrono::seconds(3)));
    open.set_value();
    ASSERT_TRUE(TestHost::Sync(a));
    TestHost::Stop(a);
    TestHost::Stop(b);
    qd_sink_clear();
    EXPECT_EQ(host.log.Count("gated: True"), 1u) << host.log.Text();
    EXPECT_EQ(host.log.Count("flows: served 1, wrong []"), 1u);
}

// An idle worker wakes at once for an event, a reload and termination, not
// at the end of its longest sleep (a second).
TEST(Worker, WakesAtOnceForEventsReloadAndTermination)
{
    TestHost host;
    std::string path = host.InstallScript("versioned.py");
    host.WriteScriptConf(path);
    qdPluginProcessor *plugin = host.Start();
    ASSERT_NE(plugin, nullptr);
    // The worker, named after the script's module, asleep after a sync.
    std::atomic<pid_t> worker{FindThread("versioned")};
    auto timed = [&](std::function<void()> action, const std::string &seen) {
        EXPECT_TRUE(TestHost::Sync(plugin));
        EXPECT_TRUE(WaitUntilAsleep(worker, deadline));
        auto start = Clock::now();
        action();
        EXPECT_TRUE(seen.empty() || host.log.WaitFor(seen)) << seen;
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(700)) << seen;
    };
    std::string text = ReadFile(path);
    WriteFile(path, text.replace(text.find("\"A\""), 3, "\"B\""));
    timed([&] { plugin->DispatchEvent(qdPlugin::EVENT_RELOAD); }, "versioned: import B");
    timed([&] { plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT); },
        "versioned: B agent 11");
    timed([&] { TestHost::Stop(plugin); }, "");
}
