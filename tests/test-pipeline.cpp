// Events from host threads to script callbacks, and what scripts that
// misbehave do to the worker (nothing).

#include <atomic>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;

namespace {

std::vector<std::string> Recorded(LogRecorder &log, const std::string &prefix)
{
    std::vector<std::string> seen;
    for (auto &line : log.Lines()) {
        if (line.rfind(prefix, 0) == 0) seen.push_back(line);
    }
    return seen;
}

class Pipeline : public ::testing::Test
{
protected:
    qdPluginProcessor *StartWith(const std::string &script, bool debug = false)
    {
        host.WriteScriptConf(host.InstallScript(script), debug);
        plugin = host.Start();
        return plugin;
    }

    void TearDown() override { TestHost::Stop(plugin); }

    TestHost host;
    qdPluginProcessor *plugin = nullptr;
};

}  // namespace

TEST_F(Pipeline, EventsBeforeTheFirstLoadAreDropped)
{
    host.WriteScriptConf(host.InstallScript("recorder.py"));
    plugin = host.Create();
    ASSERT_NE(plugin, nullptr);
    // Not started: the script is not loaded and the hooks queue nothing.
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    auto flow = MakeFlow("early");
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_NEW, flow);
    plugin->Create();
    ASSERT_TRUE(TestHost::Sync(plugin));
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_COMPLETE);
    ASSERT_TRUE(TestHost::Sync(plugin));
    EXPECT_EQ(Recorded(host.log, "rec: "),
        std::vector<std::string>{"rec: agent 12"});
}

TEST_F(Pipeline, DeliversEachKindWithItsArguments)
{
    ASSERT_NE(StartWith("recorder.py"), nullptr);

    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    qdInstanceStatus status;
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_COMPLETE, &status);

    auto flow = MakeFlow("single");
    flow->flags.detection_init = false;  // no filter for single flows
    flow->flags.expired = true;
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_EXPIRED, flow);

    qdFlowMap map(1);
    auto a = MakeFlow("a");
    a->digest_lower[0] = 0xaa;
    auto b = MakeFlow("b");
    b->digest_lower[0] = 0xbb;
    auto expired = MakeFlow("expired");
    expired->flags.expired = true;
    auto undetected = MakeFlow("undetected");
    undetected->flags.detection_init = false;
    map.Insert("1", a);
    map.Insert("2", expired);
    map.Insert("3", b);
    map.Insert("4", undetected);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_MAP, &map);

    // Never queued, whatever the mask.
    std::map<std::string, std::shared_ptr<qdInterface>> interfaces;
    qdPacketStats stats;
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_INTERFACES, &interfaces);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_PKT_CAPTURE_STATS, "eth0", &stats);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_PKT_GLOBAL_STATS, &stats);

    ASSERT_TRUE(TestHost::Sync(plugin));
    TestHost::Stop(plugin);
    plugin = nullptr;

    std::vector<std::string> expected = {
        "rec: agent 11",
        "rec: agent 12",
        "rec: flow 7 dict single",
        "rec: stats aa00,bb00 stats,stats",
        "rec: map a,b",
        "rec: agent 99",
    };
    EXPECT_EQ(Recorded(host.log, "rec: "), expected) << host.log.Text();
}

TEST_F(Pipeline, FlowMapWithNothingToReportQueuesNothing)
{
    ASSERT_NE(StartWith("recorder.py", true), nullptr);
    qdFlowMap map(4);
    auto expired = MakeFlow("expired");
    expired->flags.expired = true;
    auto undetected = MakeFlow("undetected");
    undetected->flags.detection_init = false;
    map.Insert("1", expired);
    map.Insert("2", undetected);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_MAP, &map);
    ASSERT_TRUE(TestHost::Sync(plugin));
    EXPECT_EQ(host.log.Count("calling script function"), 0u);
    EXPECT_EQ(Recorded(host.log, "rec: ").size(), 0u);
}

TEST_F(Pipeline, UnhandledEventValuesReachNoCallback)
{
    ASSERT_NE(StartWith("recorder.py"), nullptr);
    // Agent hooks queue whatever value the host sends; the worker sorts.
    for (auto event : {0, 8, 9, 10, 13, 300}) {
        plugin->DispatchProcessorEvent(
            static_cast<qdPluginProcessor::Event>(event));
    }
    ASSERT_TRUE(TestHost::Sync(plugin));
    EXPECT_EQ(Recorded(host.log, "rec: ").size(), 0u);
    EXPECT_EQ(host.log.Count("recorder: agent or private event not set."), 1u);
    for (auto event : {"8", "9", "10", "13", "300"}) {
        EXPECT_EQ(host.log.Count(
                      std::string("recorder: unhandled plugin event: ") + event),
            1u);
    }
}

TEST_F(Pipeline, TerminationDuringAnEventDropsTheRestAndSendsTheNotice)
{
    ASSERT_NE(StartWith("blocking.py"), nullptr);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_COMPLETE);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    ASSERT_TRUE(host.log.WaitFor("gate: start 11"));
    plugin->Terminate();
    WriteFile(host.ModuleDir() + "/release", "");
    delete plugin;
    plugin = nullptr;
    std::vector<std::string> expected = {
        "gate: start 11", "gate: done 11",
        "gate: start 99", "gate: done 99"};
    EXPECT_EQ(Recorded(host.log, "gate: "), expected);
}

TEST_F(Pipeline, ConfigurationDebugLogsEachCall)
{
    qd_set_debug(false);
    ASSERT_NE(StartWith("recorder.py", true), nullptr);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    ASSERT_TRUE(TestHost::Sync(plugin));
    EXPECT_EQ(host.log.Count("recorder: calling script function: ProcessAgentEvent"), 1u);
}

TEST_F(Pipeline, ThreadLocalDataDoesNotSurviveAnEvent)
{
    ASSERT_NE(StartWith("threadlocal.py"), nullptr);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    ASSERT_TRUE(TestHost::Sync(plugin));
    EXPECT_EQ(host.log.Count("threadlocal: fresh"), 2u);
    EXPECT_EQ(host.log.Count("threadlocal: kept"), 0u);
}

TEST_F(Pipeline, ManyHostThreadsQueueingWhileReloadsAreRequested)
{
    ASSERT_NE(StartWith("counter.py"), nullptr);
    constexpr int threads = 4, per_thread = 500;
    std::atomic<bool> done{false};
    std::thread reloader([&] {
        while (! done) {
            plugin->DispatchEvent(qdPlugin::EVENT_RELOAD);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; t++) {
        senders.emplace_back([&, t] {
            for (int n = 0; n < per_thread; n++) {
                auto flow = MakeFlow(std::to_string(t) + "-" + std::to_string(n));
                plugin->DispatchProcessorEvent(
                    qdPluginProcessor::EVENT_FLOW_UPDATED, flow);
            }
        });
    }
    for (auto &sender : senders) sender.join();
    ASSERT_TRUE(TestHost::Sync(plugin));
    done = true;
    reloader.join();
    TestHost::Stop(plugin);
    plugin = nullptr;
    EXPECT_EQ(host.log.Count("counter: total 2000 disorder 0 threads 4"), 1u)
        << host.log.Text();
}

TEST_F(Pipeline, RaisingCallbacksPrintATracebackEachTime)
{
    StderrCapture err;
    ASSERT_NE(StartWith("raising.py"), nullptr);
    for (int i = 0; i < 3; i++)
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    auto flow = MakeFlow();
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_NEW, flow);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_COMPLETE);
    ASSERT_TRUE(TestHost::Sync(plugin));
    EXPECT_EQ(host.log.Count("raising: agent 11"), 3u);
    EXPECT_EQ(host.log.Count("raising: agent 12"), 1u);
    std::string text = err.Text();
    size_t tracebacks = 0;
    for (size_t at = 0; (at = text.find("Traceback (most recent call last)", at)) != std::string::npos; at++)
        tracebacks++;
    EXPECT_EQ(tracebacks, 5u) << text;
    EXPECT_NE(text.find("ValueError: agent callback failed on 12"), std::string::npos);
    EXPECT_NE(text.find("KeyError: 'no such key'"), std::string::npos);
}

TEST_F(Pipeline, SystemExitIsPrintedAndSurvived)
{
    StderrCapture err;
    ASSERT_NE(StartWith("exits.py"), nullptr);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_COMPLETE);
    ASSERT_TRUE(TestHost::Sync(plugin));
    EXPECT_EQ(host.log.Count("exits: agent 11"), 1u);
    EXPECT_EQ(host.log.Count("exits: agent 12"), 1u);
    EXPECT_NE(err.Text().find("SystemExit: 3"), std::string::npos) << err.Text();
}

TEST_F(Pipeline, SystemExitAtImportIsAFailedImport)
{
    StderrCapture err;
    std::string path = host.InstallScript("exits_on_import.py");
    ASSERT_NE(StartWith("exits_on_import.py"), nullptr);
    EXPECT_EQ(host.log.Count("python-test: error importing/reloading module: "
                             "exits_on_import (" + path + ")"),
        1u) << host.log.Text();
    EXPECT_NE(err.Text().find("SystemExit: leaving at import"), std::string::npos);
}

TEST_F(Pipeline, OddCallbacks)
{
    StderrCapture err;
    std::string path = host.InstallScript("odd_callbacks.py");
    ASSERT_NE(StartWith("odd_callbacks.py"), nullptr);
    EXPECT_EQ(host.log.Count("odd_callbacks: callback function loaded: ProcessAgentEvent"), 1u);
    EXPECT_EQ(host.log.Count("odd_callbacks: callback function loaded: ProcessFlowEvent"), 1u);
    EXPECT_EQ(host.log.Count("odd_callbacks: " + path + ": ProcessFlowMap: not callable."), 1u);
    EXPECT_EQ(host.log.Count("odd_callbacks: " + path + ": ProcessFlowStats: not defined."), 1u);

    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    auto flow = MakeFlow();
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_NEW, flow);
    qdFlowMap map;
    map.Insert("x", flow);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_MAP, &map);
    ASSERT_TRUE(TestHost::Sync(plugin));
    EXPECT_EQ(host.log.Count("odd: instance made for 11"), 1u);
    EXPECT_NE(err.Text().find("TypeError: ProcessFlowEvent() takes 0 positional "
                              "arguments but 2 were given"),
        std::string::npos) << err.Text();
}

// The collector pauses while a flow map's list is built, and is as the
// script left it when its callback runs.
TEST_F(Pipeline, FlowMapsLeaveTheCollectorAsTheScriptSetIt)
{
    WriteFile(host.ModuleDir() + "/gc_state.py", R"(
import gc
import qpp

def ProcessFlowMap(flows):
    qpp.print("gc: in map %s\n" % gc.isenabled())

def ProcessAgentEvent(event):
    if event == 11:
        gc.disable()
    elif event == 12:
        qpp.print("gc: after %s\n" % gc.isenabled())
)");
    host.WriteScriptConf(host.ModuleDir() + "/gc_state.py");
    qdPluginProcessor *plugin = host.Start();
    ASSERT_NE(plugin, nullptr);
    qdFlowMap map(4);
    map.Insert("a", MakeFlow("a"));
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_MAP, &map);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_MAP, &map);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_COMPLETE);
    ASSERT_TRUE(TestHost::Sync(plugin));
    TestHost::Stop(plugin);
    EXPECT_EQ(Recorded(host.log, "gc: "),
        (std::vector<std::string>{"gc: in map True", "gc: in map False", "gc: after False"}))
        << host.log.Text();
}
