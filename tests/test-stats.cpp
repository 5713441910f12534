// What an instance tells its host about its own work.

#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;

namespace {

json Stats(qdPluginProcessor *plugin)
{
    json stats;
    plugin->DispatchEvent(qdPlugin::EVENT_STATS, &stats);
    return stats;
}

}  // namespace

TEST(Stats, CallbacksReloadsAndPayloadsAreCounted)
{
    TestHost host;
    SinkRecorder sinks({"sink"});
    WriteFile(host.ModuleDir() + "/counted.py", R"(
import qpp

def ProcessFlowEvent(event, flow):
    if event == 3:
        raise ValueError("third kind")

def ProcessAgentEvent(event):
    if event == 11:
        qpp.dispatch("sink", [], "kept")
        qpp.dispatch("nowhere", [], "refused")
)");
    host.WriteScriptConf(host.ModuleDir() + "/counted.py");
    qdPluginProcessor *plugin = host.Start();
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

    json stats = Stats(plugin);
    EXPECT_EQ(stats["events"]["served"], 4) << stats.dump();
    EXPECT_EQ(stats["callbacks"]["ProcessFlowEvent"]["calls"], 3);
    EXPECT_EQ(stats["callbacks"]["ProcessFlowEvent"]["exceptions"], 2);
    EXPECT_EQ(stats["callbacks"]["ProcessAgentEvent"]["calls"], 1);
    EXPECT_EQ(stats["callbacks"]["ProcessAgentEvent"]["exceptions"], 0);
    EXPECT_EQ(stats["callbacks"]["ProcessFlowMap"]["calls"], 0);
    EXPECT_EQ(stats["reloads"]["done"], 1);
    EXPECT_EQ(stats["reloads"]["unchanged"], 1);
    EXPECT_EQ(stats["reloads"]["failed"], 0);
    EXPECT_EQ(stats["payloads"]["dispatched"], 1);
    EXPECT_EQ(stats["payloads"]["refused"], 1);

    // A broken configuration is a failed reload.
    host.WriteConf("{");
    plugin->DispatchEvent(qdPlugin::EVENT_RELOAD);
    ASSERT_TRUE(TestHost::Sync(plugin));
    EXPECT_EQ(Stats(plugin)["reloads"]["failed"], 1);
    TestHost::Stop(plugin);
}
