// The time budget of a callback call ("callback_timeout") and the grace a
// running callback gets when its instance is deleted: a runaway callback is
// interrupted, logged and counted, and the instance goes on or ends.

#include <chrono>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;
using ::testing::HasSubstr;

namespace {

// A script that spins on event 2 inside "except Exception", which must not
// keep the interruption from ending the call.
const char *const spinner = R"(
import qpp

swallowed = 0

def spin():
    while True:
        pass

def ProcessFlowEvent(event, flow):
    global swallowed
    if event == 2:
        qpp.print("spinner: spinning\n")
        while True:
            try:
                spin()
            except Exception:
                swallowed += 1
    qpp.print("spinner: served %d, swallowed %d\n" % (event, swallowed))
)";

std::string Conf(const std::string &script, const std::string &timeout)
{
    return "{\"script\": \"" + script + "\", \"callback_timeout\": " + timeout + "}";
}

}  // namespace

// The budget comes with a reload that leaves the script as it is.
TEST(CallbackTimeout, ARunawayCallbackIsInterruptedAndTheInstanceGoesOn)
{
    TestHost host;
    StderrCapture err;
    std::string path = host.WriteScript("spinner", spinner);
    qdPluginProcessor *plugin = host.Start();
    ASSERT_NE(plugin, nullptr);
    host.WriteConf(Conf(path, "0.2"));
    plugin->DispatchEvent(qdPlugin::EVENT_RELOAD);
    // Served before the event that needs the budget.
    ASSERT_TRUE(TestHost::Sync(plugin));
    EXPECT_EQ(host.log.Count("spinner.py: not reloading, no change."), 1u);

    auto flow = MakeFlow();
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_NEW, flow);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_UPDATED, flow);
    ASSERT_TRUE(TestHost::Sync(plugin));

    EXPECT_EQ(host.log.Count("spinner: ProcessFlowEvent: interrupted: ran past its "
                             "time budget of 0.2 seconds"),
        1u) << host.log.Text();
    EXPECT_EQ(host.log.Count("spinner: served 3, swallowed 0"), 1u);
    EXPECT_THAT(err.Text(), HasSubstr("qpp.CallbackTimeout: ProcessFlowEvent ran past "
                                      "its time budget of 0.2 seconds"));
    json stats = qppHostStats(plugin);
    EXPECT_EQ(stats["callbacks"]["ProcessFlowEvent"]["calls"], 2) << stats.dump();
    EXPECT_EQ(stats["callbacks"]["ProcessFlowEvent"]["interrupted"], 1);
    EXPECT_EQ(stats["callbacks"]["ProcessFlowEvent"]["exceptions"], 0);
    TestHost::Stop(plugin);
}

TEST(CallbackTimeout, ACallBlockedInCIsReportedWhileItLasts)
{
    TestHost host;
    StderrCapture err;
    WriteFile(host.ModuleDir() + "/sleeper.py", R"(
import time

def ProcessAgentEvent(event):
    if event == 11:
        time.sleep(2)
)");
    host.WriteConf(Conf(host.ModuleDir() + "/sleeper.py", "0.2"));
    qdPluginProcessor *plugin = host.Start();
    ASSERT_NE(plugin, nullptr);

    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    ASSERT_TRUE(TestHost::Sync(plugin));
    EXPECT_EQ(host.log.Count("sleeper: ProcessAgentEvent: interrupted: ran past its "
                             "time budget of 0.2 seconds"),
        1u) << host.log.Text();
    // The sleep ends on its own; the interruption is raised when it does.
    EXPECT_EQ(host.log.Count("sleeper: ProcessAgentEvent: still running after 1 "
                             "seconds, interrupted 1 times: blocked where Python "
                             "cannot interrupt it, or catching the interruption"),
        1u) << host.log.Text();
    EXPECT_THAT(err.Text(), HasSubstr("qpp.CallbackTimeout"));
    EXPECT_EQ(qppHostStats(plugin)["callbacks"]["ProcessAgentEvent"]["interrupted"], 1);
    TestHost::Stop(plugin);
}

TEST(CallbackTimeout, DeletionInterruptsACallbackThatNeverReturns)
{
    TestHost host;
    StderrCapture err;
    // No budget: only the deletion's grace applies.
    qdPluginProcessor *plugin = host.StartScript("stuck", R"(
import qpp

def ProcessAgentEvent(event):
    qpp.print("stuck: event %d\n" % event)
    while event == 11:
        pass
)");
    ASSERT_NE(plugin, nullptr);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    ASSERT_TRUE(host.log.WaitFor("stuck: event 11"));

    auto before = std::chrono::steady_clock::now();
    RunOrDie({[plugin] { TestHost::Stop(plugin); }}, std::chrono::seconds(20),
        "deleting an instance whose callback never returns");
    auto took = std::chrono::steady_clock::now() - before;
    EXPECT_GE(took, std::chrono::milliseconds(2900));
    EXPECT_EQ(host.log.Count("stuck: ProcessAgentEvent: interrupted: still running 3 "
                             "seconds after the instance was told to stop"),
        1u) << host.log.Text();
    EXPECT_EQ(host.log.Count("stuck: event 99"), 1u);
    EXPECT_EQ(host.log.Count("stuck: destroyed"), 1u);
}

TEST(CallbackTimeout, ConfigurationValues)
{
    const std::pair<const char *, bool> cases[] = {
        {"0.5", true}, {"10", true}, {"1e30", true}, {"null", true},
        {"0", false}, {"-1", false}, {"-0.0", false}, {"\"10\"", false},
        {"true", false}, {"[]", false}, {"{}", false},
        {nullptr, true},  // absent: no budget, as before
    };
    TestHost host;
    std::string path = host.WriteScript("quiet", "def ProcessAgentEvent(event):\n    pass\n");
    const std::string refusal = "python-test: error loading configuration: " +
        host.ConfPath() +
        ": callback_timeout must be a number of seconds greater than 0, or null.";
    size_t loaded = 0, refused = 0;
    for (auto [value, accepted] : cases) {
        SCOPED_TRACE(value ? value : "absent");
        if (value)
            host.WriteConf(Conf(path, value));
        else
            host.WriteScriptConf(path);
        TestHost::Stop(host.Start());
        (accepted ? loaded : refused)++;
        EXPECT_EQ(host.log.Count("quiet: callback function loaded"), loaded)
            << host.log.Text();
        EXPECT_EQ(host.log.Count(refusal), refused);
    }
}
