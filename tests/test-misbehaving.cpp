// Scripts that misbehave: whatever they do, the host keeps running, its
// threads are never held up, and the instance keeps serving.

#include <thread>

#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;

namespace {

size_t Occurrences(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at++) n++;
    return n;
}

class Misbehaving : public ::testing::Test
{
protected:
    qdPluginProcessor *StartWith(const std::string &script)
    {
        host.WriteScriptConf(host.InstallScript(script));
        plugin = host.Start();
        return plugin;
    }

    void Flow(qdPluginProcessor::Event event)
    {
        auto flow = MakeFlow();
        plugin->DispatchProcessorEvent(event, flow);
    }

    void TearDown() override { TestHost::Stop(plugin); }

    TestHost host;
    qdPluginProcessor *plugin = nullptr;
};

}  // namespace

TEST_F(Misbehaving, BaseExceptionsAreReportedLikeAnyOther)
{
    StderrCapture err;
    ASSERT_NE(StartWith("base_exceptions.py"), nullptr);
    for (auto event : {2, 3, 4, 5})
        Flow(static_cast<qdPluginProcessor::Event>(event));
    ASSERT_TRUE(TestHost::Sync(plugin));
    std::string text = err.Text();
    EXPECT_EQ(Occurrences(text, "Traceback (most recent call last)"), 3u) << text;
    EXPECT_NE(text.find("KeyboardInterrupt: pressed"), std::string::npos);
    EXPECT_NE(text.find("GeneratorExit: closed"), std::string::npos);
    EXPECT_NE(text.find("Departure: gone"), std::string::npos);
    EXPECT_EQ(host.log.Count("base: event 5 served"), 1u);
}

TEST_F(Misbehaving, UnboundedRecursionIsARecursionError)
{
    StderrCapture err;
    ASSERT_NE(StartWith("recursion.py"), nullptr);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_COMPLETE);
    ASSERT_TRUE(TestHost::Sync(plugin));
    EXPECT_NE(err.Text().find("RecursionError: maximum recursion depth exceeded"),
        std::string::npos);
    EXPECT_EQ(host.log.Count("recursion: event 12 served"), 1u);
}

TEST_F(Misbehaving, ABlockedCallbackNeverHoldsUpHostThreads)
{
    ASSERT_NE(StartWith("slow.py"), nullptr);
    Flow(qdPluginProcessor::EVENT_FLOW_NEW);
    ASSERT_TRUE(host.log.WaitFor("slow: blocked"));

    // Every hook returns while the callback is still blocked: these threads
    // finish before the release file exists.
    constexpr int threads = 4, per_thread = 2500;
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; t++) {
        senders.emplace_back([this] {
            for (int n = 0; n < per_thread; n++) Flow(qdPluginProcessor::EVENT_FLOW_UPDATED);
            qdFlowMap map(1);
            map.Insert("x", MakeFlow());
            plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_MAP, &map);
        });
    }
    for (auto &sender : senders) sender.join();
    EXPECT_EQ(host.log.Count("slow: served"), 0u);

    WriteFile(host.ModuleDir() + "/release", "");
    ASSERT_TRUE(TestHost::Sync(plugin));
    TestHost::Stop(plugin);
    plugin = nullptr;
    EXPECT_EQ(host.log.Count("slow: served 10001"), 1u) << host.log.Text();
}

TEST_F(Misbehaving, ASlowImportHoldsUpNoHostThread)
{
    host.WriteScriptConf(host.InstallScript("slow_import.py"));
    plugin = host.Create();
    ASSERT_NE(plugin, nullptr);
    plugin->Create();
    ASSERT_TRUE(host.log.WaitFor("slow_import: importing"));
    // Nothing is bound yet: these are dropped at the hooks, which return.
    for (int n = 0; n < 1000; n++) Flow(qdPluginProcessor::EVENT_FLOW_NEW);
    EXPECT_EQ(host.log.Count("slow_import: imported"), 0u);

    WriteFile(host.ModuleDir() + "/release", "");
    ASSERT_TRUE(TestHost::Sync(plugin));
    for (int n = 0; n < 10; n++) Flow(qdPluginProcessor::EVENT_FLOW_NEW);
    ASSERT_TRUE(TestHost::Sync(plugin));
    TestHost::Stop(plugin);
    plugin = nullptr;
    EXPECT_EQ(host.log.Count("slow_import: served 10"), 1u) << host.log.Text();
}

TEST_F(Misbehaving, ThreadsOfAReloadedScriptAreStoppedByTheNotices)
{
    std::string path = host.InstallScript("threads_polite.py");
    host.WriteScriptConf(path);
    plugin = host.Start();
    ASSERT_NE(plugin, nullptr);
    // The first version hears the unload notice before it is re-executed,
    // the second one when the instance goes.
    WriteFile(path, ReadFile(path) + "\n# edited\n");
    plugin->DispatchEvent(qdPlugin::EVENT_RELOAD);
    ASSERT_TRUE(TestHost::Sync(plugin));
    EXPECT_EQ(host.log.Count("threads: started"), 2u);
    TestHost::Stop(plugin);
    plugin = nullptr;
    EXPECT_EQ(host.log.Count("threads_polite: destroyed"), 1u);
    EXPECT_EQ(host.log.Count("threads: daemon stopped"), 2u);
    EXPECT_EQ(host.log.Count("threads: worker stopped"), 2u);
    EXPECT_EQ(host.log.Count("still running"), 0u) << host.log.Text();
}

TEST_F(Misbehaving, MutilatingQppStaysInItsOwnInterpreter)
{
    SinkRecorder sinks({"sink"});
    host.WriteScriptConf(host.InstallScript("mutilate.py"), false, "a");
    host.WriteScriptConf(host.InstallScript("intact.py"), false, "b");
    plugin = host.Start("python-a", "a");
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(host.log.Count("mutilate: done False"), 1u);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    ASSERT_TRUE(TestHost::Sync(plugin));
    EXPECT_EQ(host.log.Count("mutilate: agent 11 dispatch True"), 1u);

    qdPluginProcessor *other = host.Start("python-b", "b");
    ASSERT_NE(other, nullptr);
    TestHost::Stop(other);
    EXPECT_EQ(host.log.Count("intact: True True qpp"), 1u) << host.log.Text();
}

TEST_F(Misbehaving, AHundredMegabytePayloadArrivesWhole)
{
    SinkRecorder sinks({"sink"});
    ASSERT_NE(StartWith("big_payload.py"), nullptr);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    ASSERT_TRUE(TestHost::Sync(plugin));
    EXPECT_EQ(host.log.Count("big: True"), 1u);
    auto payloads = sinks.Payloads();
    ASSERT_EQ(payloads.size(), 1u);
    ASSERT_EQ(payloads[0].payload.size(), 100000000u);
    EXPECT_EQ(payloads[0].payload[0], '0');
    EXPECT_EQ(payloads[0].payload[99999999], '9');
}

TEST_F(Misbehaving, AnExtensionThatRefusesSubInterpretersIsAFailedImport)
{
    StderrCapture err;
    WriteFile(host.ModuleDir() + "/qpp_test_refuser.so", ReadFile(QPP_REFUSER_MODULE));
    std::string path = host.InstallScript("refuser_user.py");
    ASSERT_NE(StartWith("refuser_user.py"), nullptr);
    EXPECT_EQ(host.log.Count("python-test: error importing/reloading module: refuser_user (" +
                  path + ")"),
        1u) << host.log.Text();
    EXPECT_NE(err.Text().find("ImportError: qpp_test_refuser does not support sub-interpreters"),
        std::string::npos) << err.Text();

    // The instance goes on: a fixed script is loaded on the next request.
    WriteFile(path, "import qpp\n\ndef ProcessAgentEvent(event):\n"
                    "    qpp.print('refuser_user: %d\\n' % event)\n");
    plugin->DispatchEvent(qdPlugin::EVENT_RELOAD);
    ASSERT_TRUE(TestHost::Sync(plugin));
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    ASSERT_TRUE(TestHost::Sync(plugin));
    EXPECT_EQ(host.log.Count("refuser_user: 11"), 1u) << host.log.Text();
}
