// Payloads from scripts to the host's sinks.

#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;

namespace {

std::string Text(const qdSinkPayload &p)
{
    return std::string(p.payload.begin(), p.payload.end());
}

}  // namespace

TEST(Dispatch, WhatScriptsGiveIsWhatSinksGet)
{
    TestHost host;
    SinkRecorder sinks({"sink"});
    host.WriteScriptConf(host.InstallScript("dispatcher.py"));
    qdPluginProcessor *plugin = host.Start();
    ASSERT_NE(plugin, nullptr);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    ASSERT_TRUE(TestHost::Sync(plugin));
    TestHost::Stop(plugin);

    std::vector<std::string> expected = {
        "disp: import = True",
        "disp: channels = True",
        "disp: empty = True",
        "disp: flags 1 1 = True",
        "disp: flags 2 0 = True",
        "disp: flags 3 2 = True",
        "disp: flags 0 1 = True",
        "disp: unicode = True",
        "disp: unknown target = False",
        "disp: tuple = 'TypeError: dispatch argument type error'",
        "disp: option 256 = 'TypeError: dispatch argument type error'",
        "disp: option -1 = 'TypeError: dispatch argument type error'",
        "disp: missing = 'TypeError: dispatch argument type error'",
        "disp: surplus = 'TypeError: dispatch argument type error'",
        "disp: nul = 'TypeError: dispatch argument type error'",
        "disp: bytes payload = 'TypeError: dispatch argument type error'",
        "disp: surrogate = 'TypeError: channel list items must be Unicode strings.'",
        "disp: keyword = 'TypeError: dispatch() takes no keyword arguments'",
        "disp: own thread = 'TypeError: dispatch error; plugin instance not found'",
    };
    std::vector<std::string> seen;
    for (auto &line : host.log.Lines()) {
        if (line.rfind("disp: ", 0) == 0) seen.push_back(line);
    }
    EXPECT_EQ(seen, expected) << host.log.Text();
    EXPECT_EQ(host.log.Count("dispatcher: error dispatching payload: "
                             "dispatcher: sink not found: nowhere"),
        1u) << host.log.Text();

    auto payloads = sinks.Payloads();
    ASSERT_EQ(payloads.size(), 8u);
    EXPECT_EQ(payloads[0].channels, std::set<std::string>{"import"});
    EXPECT_EQ(Text(payloads[0]), "at import");
    EXPECT_EQ(payloads[1].channels, (std::set<std::string>{"a", "b"}));
    EXPECT_EQ(Text(payloads[1]), "p1");
    EXPECT_EQ(payloads[1].flags, 0);
    EXPECT_TRUE(payloads[2].payload.empty());
    EXPECT_EQ(payloads[2].channels.size(), 0u);
    EXPECT_EQ(payloads[3].flags, 17);
    EXPECT_EQ(payloads[4].flags, 2);
    EXPECT_EQ(payloads[5].flags, 0);
    EXPECT_EQ(payloads[6].flags, 16);
    // Byte-wise order of the UTF-8 names, and the payload's UTF-8 bytes.
    EXPECT_EQ(std::vector<std::string>(payloads[7].channels.begin(),
                  payloads[7].channels.end()),
        (std::vector<std::string>{"Z", "z", "\xc3\xa9"}));
    EXPECT_EQ(Text(payloads[7]), "\xc3\xa9t\xc3\xa9");
    for (auto &p : payloads) EXPECT_EQ(p.target, "sink");
}

TEST(Dispatch, DebugLineOnlyWithTheHostsDebug)
{
    TestHost host;
    qd_set_debug(false);
    SinkRecorder sinks({"sink"});
    host.WriteScriptConf(host.InstallScript("dispatcher.py"));
    qdPluginProcessor *plugin = host.Start();
    ASSERT_NE(plugin, nullptr);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    ASSERT_TRUE(TestHost::Sync(plugin));
    TestHost::Stop(plugin);
    EXPECT_EQ(host.log.Count("disp: unknown target = False"), 1u);
    EXPECT_EQ(host.log.Count("error dispatching payload"), 0u);
}
