// What an instance tells its host about its own work.

#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;

namespace {

// Each value of expected (a JSON object text) at its place in stats.
void ExpectIn(const json &stats, const char *expected)
{
    json flat = json::parse(expected).flatten();
    for (auto it = flat.begin(); it != flat.end(); ++it) {
        EXPECT_EQ(stats[json::json_pointer(it.key())], it.value())
            << it.key() << " in " << stats.dump();
    }
}

}  // namespace

TEST(Stats, CallbacksReloadsAndPayloadsAreCounted)
{
    TestHost host;
    SinkRecorder sinks({"sink"});
    qdPluginProcessor *plugin = host.StartScript("counted", R"(
import qpp

def ProcessFlowEvent(event, flow):
    if event == 3:
        raise ValueError("third kind")

def ProcessAgentEvent(event):
    if event == 11:
        qpp.dispatch("sink", [], "kept")
        qpp.dispatch("nowhere", [], "refused")
)");
    ASSERT_NE(plugin, nullptr);

    auto flow = MakeFlow();
    for (auto event : {qdPluginProcessor::EVENT_FLOW_NEW,
             qdPluginProcessor::EVENT_FLOW_UPDATED,
             qdPluginProcessor::EVENT_FLOW_UPDATED}) {
        plugin->DispatchProcessorEvent(event, flow);
    }
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    // An unchanged script is not imported again.
    plugin->DispatchEvent(qdPlugin::EVENT_RELOAD);
    ASSERT_TRUE(TestHost::Sync(plugin));

    json stats = qppHostStats(plugin);
    ExpectIn(stats, R"({
        "events": {"served": 4, "dropped": 0, "flow": {"queued": 3, "served": 3},
                   "agent": {"served": 1}},
        "queue": {"depth": 0, "bytes": 0},
        "callbacks": {"ProcessFlowEvent": {"calls": 3, "exceptions": 2},
                      "ProcessAgentEvent": {"calls": 1, "exceptions": 0},
                      "ProcessFlowMap": {"calls": 0}},
        "reloads": {"done": 1, "unchanged": 1, "failed": 0},
        "payloads": {"dispatched": 1, "refused": 1}})");
    EXPECT_GE(stats["queue"]["high_water"], 1);

    // A broken configuration is a failed reload.
    host.WriteConf("{");
    plugin->DispatchEvent(qdPlugin::EVENT_RELOAD);
    ASSERT_TRUE(TestHost::Sync(plugin));
    EXPECT_EQ(qppHostStats(plugin)["reloads"]["failed"], 1);
    TestHost::Stop(plugin);
}

// The first agent event holds the worker until the test releases it; the
// script reports what qpp.stats() says on the update-complete event.
const char *held_script = R"(
import os, time
import qpp

release = os.path.join(os.path.dirname(__file__), "release")

def ProcessFlowEvent(event, flow):
    pass

def ProcessAgentEvent(event):
    if event == 11:
        deadline = time.monotonic() + 30
        while not os.path.exists(release) and time.monotonic() < deadline:
            time.sleep(0.01)
    if event == 12:
        s = qpp.stats()
        qpp.print("seen: flow served %d dropped %d, agent calls %d, max %s\n" % (
            s["events"]["flow"]["served"], s["events"]["flow"]["dropped"],
            s["callbacks"]["ProcessAgentEvent"]["calls"],
            type(s["callbacks"]["ProcessAgentEvent"]["time_us"]["max"]).__name__))
)";

TEST(Stats, AFullQueueDropsWhatArrivesAndCountsIt)
{
    TestHost host;
    WriteFile(host.ModuleDir() + "/held.py", held_script);
    host.WriteConf(R"({"script": ")" + host.ModuleDir() +
        R"(/held.py", "queue_max_events": 2})");
    qdPluginProcessor *plugin = host.Start();
    ASSERT_NE(plugin, nullptr);

    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    // The worker holds the first event; two more fit, the rest are dropped.
    auto flow = MakeFlow();
    json stats;
    auto deadline_at = std::chrono::steady_clock::now() + deadline;
    do {
        stats = qppHostStats(plugin);
    } while (stats["queue"]["depth"] != 0 &&
        std::chrono::steady_clock::now() < deadline_at);
    for (int i = 0; i < 10; i++)
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_UPDATED, flow);
    stats = qppHostStats(plugin);
    EXPECT_EQ(stats["queue"]["depth"], 2) << stats.dump();
    EXPECT_GT(stats["queue"]["bytes"], 0);
    EXPECT_EQ(stats["events"]["flow"]["dropped"], 8);

    WriteFile(host.ModuleDir() + "/release", "");
    ASSERT_TRUE(TestHost::Sync(plugin));
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_COMPLETE);
    ASSERT_TRUE(TestHost::Sync(plugin));
    ASSERT_TRUE(host.log.WaitFor("seen: "));
    EXPECT_EQ(host.log.Count(
                  "seen: flow served 2 dropped 8, agent calls 2, max float"),
        1u) << host.log.Text();
    stats = qppHostStats(plugin);
    // Every event the script subscribes to is served or dropped, never both.
    EXPECT_EQ(stats["events"]["flow"]["served"], 2);
    EXPECT_EQ(stats["events"]["flow"]["queued"], 2);
    EXPECT_EQ(stats["queue"]["high_water"], 2);
    TestHost::Stop(plugin);
}

TEST(Stats, EventsBeforeTheFirstLoadAreDropped)
{
    TestHost host;
    host.WriteScriptConf(host.InstallScript("counter.py"));
    qdPluginProcessor *plugin = host.Create();
    ASSERT_NE(plugin, nullptr);
    auto flow = MakeFlow();
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_NEW, flow);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    qdFlowMap map(4);
    map.Insert("a", MakeFlow("a"));
    map.Insert("b", MakeFlow("b"));
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_MAP, &map);
    plugin->Create();
    ASSERT_TRUE(TestHost::Sync(plugin));
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_COMPLETE);
    ASSERT_TRUE(TestHost::Sync(plugin));
    ExpectIn(qppHostStats(plugin), R"({"events": {
        "flow": {"dropped": 1}, "agent": {"dropped": 1, "served": 1},
        "flow_map": {"dropped": 1, "flows_dropped": 2}},
        "callbacks": {"ProcessAgentEvent": {"calls": 1}}})");
    TestHost::Stop(plugin);
}

TEST(Stats, QueueBoundsMustBeNonNegativeIntegers)
{
    struct Row
    {
        const char *conf_tail;
        const char *message;
    };
    const Row rows[] = {
        {R"("queue_max_events": -1)", "queue_max_events must be a non-negative integer."},
        {R"("queue_max_bytes": 1.5)", "queue_max_bytes must be a non-negative integer."},
        {R"("queue_max_bytes": "1M")", "queue_max_bytes must be a non-negative integer."},
    };
    for (const Row &row : rows) {
        TestHost host;
        std::string script = host.InstallScript("counter.py");
        host.WriteConf(R"({"script": ")" + script + R"(", )" + row.conf_tail + "}");
        qdPluginProcessor *plugin = host.Create();
        ASSERT_NE(plugin, nullptr);
        plugin->Create();
        ASSERT_TRUE(TestHost::Sync(plugin));
        EXPECT_EQ(qppHostStats(plugin)["reloads"]["failed"], 1) << row.conf_tail;
        EXPECT_EQ(host.log.Count(row.message), 1u) << host.log.Text();
        TestHost::Stop(plugin);
    }
}
