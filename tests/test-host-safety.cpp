// What a careless daemon can do to the plugin: give up on a sync point and
// free it, hold a flow's mutex while it raises events, format addresses and
// read the tag while the worker works, refuse payloads with anything at all,
// and stop, reload and deliver without regard for the worker's pace.

#include <atomic>
#include <filesystem>
#include <iostream>
#include <set>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;
using Clock = std::chrono::steady_clock;

namespace {

// Waits until the thread tid sleeps (blocked on a lock, say), as the
// kernel reports it.
bool WaitUntilAsleep(std::atomic<pid_t> &tid, std::chrono::milliseconds timeout)
{
    auto until = Clock::now() + timeout;
    while (Clock::now() < until) {
        pid_t id = tid.load();
        if (id != 0) {
            std::string stat =
                ReadFile("/proc/self/task/" + std::to_string(id) + "/stat");
            size_t paren = stat.rfind(')');
            if (paren != std::string::npos && paren + 2 < stat.size() &&
                stat[paren + 2] == 'S')
                return true;
        }
        std::this_thread::yield();
    }
    return false;
}

// The thread of this process with that name, or 0.
pid_t FindThread(const std::string &name)
{
    for (auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
        if (ReadFile(task.path() / "comm") == name + "\n")
            return static_cast<pid_t>(std::stol(task.path().filename()));
    }
    return 0;
}

const char *flow_counter_script = R"(
import qpp
count = 0

def ProcessFlowEvent(event, flow):
    global count
    count += 1

def ProcessAgentEvent(event):
    if event == 99:
        qpp.print("flows: served %d\n" % count)
)";

}  // namespace

// A host that gave up waiting and freed its sync point: the worker signals
// its own copy, and serves and stops as usual.
TEST(SyncPoints, FreedAfterATimeoutAreNotTouched)
{
    TestHost host;
    host.WriteScriptConf(host.InstallScript("slow.py"));
    qdPluginProcessor *plugin = host.Start();
    ASSERT_NE(plugin, nullptr);
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
    EXPECT_EQ(host.log.Count("slow: served 1"), 1u) << host.log.Text();
}

// Sync points held by an instance that never started (its host never
// called Create) are signalled when it is deleted.
TEST(SyncPoints, NeverStartedInstanceSignalsWhatItHolds)
{
    TestHost host;
    host.WriteScriptConf(host.InstallScript("counter.py"));
    qdPluginProcessor *plugin = host.Create();
    ASSERT_NE(plugin, nullptr);
    qdSyncPoint first, second;
    plugin->DispatchEvent(qdPlugin::EVENT_SYNC, &first);
    plugin->DispatchEvent(qdPlugin::EVENT_SYNC, &second);
    TestHost::Stop(plugin);
    EXPECT_TRUE(first.Wait(std::chrono::seconds(1)));
    EXPECT_TRUE(second.Wait(std::chrono::seconds(1)));
}

// A daemon thread formats a flow's address for its own log, under the
// address-text mutex as the host prescribes, with and without the port,
// while the worker encodes the same flow: the script always sees the
// address alone.
TEST(AddressText, HostFormattingMeanwhileNeverReachesTheScript)
{
    TestHost host;
    host.WriteScript("addresses", R"(
import qpp
wrong = set()
count = 0

def ProcessFlowEvent(event, flow):
    global count
    count += 1
    for key, text in (("lower_addr", "192.168.1.10"),
                      ("upper_addr", "93.184.216.34")):
        if flow[key] != text:
            wrong.add(flow[key])

def ProcessAgentEvent(event):
    if event == 99:
        qpp.print("addresses: %d events, wrong %r\n" % (count, sorted(wrong)[:5]))
)");
    qdPluginProcessor *plugin = host.Start();
    ASSERT_NE(plugin, nullptr);
    auto flow = MakeFlow();
    std::atomic<bool> stop{false};
    std::thread formatter([&] {
        while (! stop.load()) {
            for (qdAddr *addr : {&flow->lower_addr, &flow->upper_addr}) {
                std::lock_guard<std::recursive_mutex> guard(qdAddr::lock);
                std::string text = addr->GetString(qdAddr::MakeFlags::PORT);
                (void)text;
            }
        }
    });
    for (int i = 0; i < 3000; i++) {
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_UPDATED, flow);
        if (i % 500 == 499) {
            ASSERT_TRUE(TestHost::Sync(plugin));
        }
    }
    stop = true;
    formatter.join();
    TestHost::Stop(plugin);
    EXPECT_EQ(host.log.Count("addresses: 3000 events, wrong []"), 1u) << host.log.Text();
}

// One daemon thread holds a flow's mutex, and another thread's event for
// that flow waits for it. Meanwhile events for other flows are queued at
// once; then the holder raises events for its flow itself. Neither thread
// may wait for the other for good.
TEST(FlowLocks, AHeldFlowHoldsUpNothingElseAndItsHolderMayRaiseEvents)
{
    TestHost host;
    host.WriteScript("flows", flow_counter_script);
    qdPluginProcessor *plugin = host.Start();
    ASSERT_NE(plugin, nullptr);
    auto held = MakeFlow("held");
    auto other = MakeFlow("other");
    const int events = 100;
    std::atomic<bool> holding{false};
    std::atomic<pid_t> waiter{0};
    bool asleep = false;
    Clock::duration took{};
    RunOrDie(
        {[&] {
             std::lock_guard<std::recursive_mutex> guard(held->lock);
             holding = true;
             asleep = WaitUntilAsleep(waiter, deadline);
             auto start = Clock::now();
             for (int i = 0; i < events; i++) {
                 plugin->DispatchProcessorEvent(
                     qdPluginProcessor::EVENT_FLOW_UPDATED, other);
             }
             took = Clock::now() - start;
             for (int i = 0; i < 10; i++) {
                 plugin->DispatchProcessorEvent(
                     qdPluginProcessor::EVENT_FLOW_UPDATED, held);
             }
         },
            [&] {
                while (! holding.load()) std::this_thread::yield();
                waiter = gettid();
                plugin->DispatchProcessorEvent(
                    qdPluginProcessor::EVENT_FLOW_UPDATED, held);
            }},
        std::chrono::seconds(10), "a flow's holder raising events for it");
    EXPECT_TRUE(asleep);
    EXPECT_LT(took, std::chrono::seconds(1));
    ASSERT_TRUE(TestHost::Sync(plugin));
    TestHost::Stop(plugin);
    EXPECT_EQ(host.log.Count("flows: served " + std::to_string(events + 11)), 1u)
        << host.log.Text();
}

// The worker renames the instance after the module it loaded while daemon
// threads read the tag: they always read a whole name.
TEST(Tag, ReadersSeeWholeNamesWhileTheWorkerRenames)
{
    TestHost host;
    std::string alpha = host.WriteScript("tag_alpha", "def ProcessAgentEvent(e): pass\n");
    std::string beta = host.WriteScript("tag_beta_longer_than_sso",
        "# beta\ndef ProcessAgentEvent(e): pass\n");
    host.WriteScriptConf(alpha);
    qdPluginProcessor *plugin = host.Start("python-tag-reader-test");
    ASSERT_NE(plugin, nullptr);

    const std::set<std::string> names = {
        "python-tag-reader-test", "tag_alpha", "tag_beta_longer_than_sso"};
    std::atomic<bool> stop{false};
    std::atomic<size_t> reads{0}, wrong{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; r++) {
        readers.emplace_back([&] {
            while (! stop.load()) {
                std::string tag = plugin->GetTag();
                if (names.count(tag) == 0) wrong++;
                reads++;
            }
        });
    }
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
}

// A sink refuses a payload by throwing, whatever it throws: the script's
// dispatch returns False and the host goes on.
TEST(Dispatch, WhateverASinkThrowsIsARefusal)
{
    struct Case
    {
        const char *name;
        std::function<void()> thrower;
    };
    const std::vector<Case> cases = {
        {"int", [] { throw 42; }},
        {"text", [] { throw std::string("no"); }},
        {"runtime_error", [] { throw std::runtime_error("no"); }},
        {"qdException", [] { throw qdException("%s", "no"); }},
    };
    TestHost host;
    host.WriteScript("refused", R"(
import qpp

def ProcessAgentEvent(event):
    if event == 11:
        qpp.print("refused: %r\n" % qpp.dispatch("sink", [], "x"))
)");
    qdPluginProcessor *plugin = host.Start();
    ASSERT_NE(plugin, nullptr);
    for (const Case &c : cases) {
        auto thrower = c.thrower;
        qd_sink_register("sink", [thrower](const qdSinkPayload &) { thrower(); });
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
        ASSERT_TRUE(TestHost::Sync(plugin)) << c.name;
    }
    qd_sink_clear();
    TestHost::Stop(plugin);
    EXPECT_EQ(host.log.Count("refused: False"), cases.size()) << host.log.Text();
    EXPECT_EQ(host.log.Count("refused: error dispatching payload: unknown exception"), 2u)
        << host.log.Text();
}

// A sink that takes its time is waited for without the interpreter lock:
// another instance's callbacks go on meanwhile.
TEST(Dispatch, ASinkAtWorkDoesNotStopOtherInstances)
{
    TestHost host;
    std::mutex lock;
    std::condition_variable cond;
    bool entered = false, open = false;
    qd_sink_register("gate", [&](const qdSinkPayload &) {
        std::unique_lock<std::mutex> guard(lock);
        entered = true;
        cond.notify_all();
        cond.wait_for(guard, deadline, [&] { return open; });
    });
    host.WriteScript("gated", R"(
import qpp

def ProcessAgentEvent(event):
    if event == 11:
        qpp.print("gated: %r\n" % qpp.dispatch("gate", [], "x"))
)", "a");
    host.WriteScript("flows", flow_counter_script, "b");
    qdPluginProcessor *a = host.Start("python-a", "a");
    qdPluginProcessor *b = host.Start("python-b", "b");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);

    a->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    {
        std::unique_lock<std::mutex> guard(lock);
        ASSERT_TRUE(cond.wait_for(guard, deadline, [&] { return entered; }));
    }
    auto flow = MakeFlow();
    for (int i = 0; i < 100; i++)
        b->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_UPDATED, flow);
    bool served = TestHost::Sync(b, std::chrono::seconds(3));
    {
        std::lock_guard<std::mutex> guard(lock);
        open = true;
        cond.notify_all();
    }
    EXPECT_TRUE(served);
    ASSERT_TRUE(TestHost::Sync(a));
    TestHost::Stop(a);
    TestHost::Stop(b);
    qd_sink_clear();
    EXPECT_EQ(host.log.Count("gated: True"), 1u) << host.log.Text();
    EXPECT_EQ(host.log.Count("flows: served 100"), 1u) << host.log.Text();
}

// An idle worker wakes at once for an event, a reload request and
// termination, not at the end of its longest sleep (a second).
TEST(Worker, WakesAtOnceForEventsReloadAndTermination)
{
    TestHost host;
    std::string path = host.InstallScript("versioned.py");
    host.WriteScriptConf(path);
    qdPluginProcessor *plugin = host.Start();
    ASSERT_NE(plugin, nullptr);

    // The worker, named after the script's module, asleep after a sync.
    ASSERT_TRUE(TestHost::Sync(plugin));
    std::atomic<pid_t> worker{FindThread("versioned")};
    ASSERT_TRUE(WaitUntilAsleep(worker, deadline));
    std::string text = ReadFile(path);
    WriteFile(path, text.replace(text.find("\"A\""), 3, "\"B\""));
    auto start = Clock::now();
    plugin->DispatchEvent(qdPlugin::EVENT_RELOAD);
    ASSERT_TRUE(host.log.WaitFor("versioned: import B"));
    auto reloaded = Clock::now() - start;

    ASSERT_TRUE(TestHost::Sync(plugin));
    ASSERT_TRUE(WaitUntilAsleep(worker, deadline));
    start = Clock::now();
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    ASSERT_TRUE(host.log.WaitFor("versioned: B agent 11"));
    auto served = Clock::now() - start;

    ASSERT_TRUE(TestHost::Sync(plugin));
    start = Clock::now();
    TestHost::Stop(plugin);
    auto stopped = Clock::now() - start;

    EXPECT_LT(reloaded, std::chrono::milliseconds(700));
    EXPECT_LT(served, std::chrono::milliseconds(700));
    EXPECT_LT(stopped, std::chrono::milliseconds(700));
}

// Looking for helper modules added since the last import costs no import:
// from 3.13 on, importlib.invalidate_caches() imports importlib.metadata
// (and with it email, zipfile, csv...) into every interpreter, memory that
// is not all returned when the interpreter ends.
TEST(ReloadFinders, RefreshingThemImportsNothing)
{
    TestHost host;
    host.WriteScript("lean", R"(
import sys
import qpp

def ProcessAgentEvent(event):
    if event == 11:
        qpp.print("lean: metadata imported %r\n" % ("importlib.metadata" in sys.modules))
)");
    qdPluginProcessor *plugin = host.Start();
    ASSERT_NE(plugin, nullptr);
    plugin->DispatchEvent(qdPlugin::EVENT_RELOAD);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    ASSERT_TRUE(TestHost::Sync(plugin));
    TestHost::Stop(plugin);
    EXPECT_EQ(host.log.Count("lean: metadata imported False"), 1u) << host.log.Text();
}
