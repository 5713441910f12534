// The time budget of a callback call ("callback_timeout") and the grace a
// running callback gets when its instance is deleted: a runaway callback is
// interrupted, logged and counted, and the instance goes on or ends.

#include <chrono>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

// A script that spins on event 2 inside "except Exception", which must not
// keep the interruption from ending the call, and sleeps in C on event 11.
const char *const spinner = R"(
import time

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

def ProcessAgentEvent(event):
    if event == 11:
        time.sleep(3)
)";

}  // namespace

// The budget comes with a reload that leaves the script as it is.
TEST(CallbackTimeout, ARunawayCallbackIsInterruptedAndTheInstanceGoesOn)
{
    TestHost host;
    StderrCapture err;
    std::string path = host.WriteScript("spinner", spinner);
    qdPluginProcessor *plugin = host.Start();
    ASSERT_NE(plugin, nullptr);
    host.WriteConf("{\"script\": \"" + path + "\", \"callback_timeout\": 0.2}");
    plugin->DispatchEvent(qdPlugin::EVENT_RELOAD);
    // Served before the event that needs the budget.
    ASSERT_TRUE(TestHost::Sync(plugin));
    EXPECT_EQ(host.log.Count("spinner.py: not reloading, no change."), 1u);

    auto flow = MakeFlow();
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_NEW, flow);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_UPDATED, flow);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    ASSERT_TRUE(TestHost::Sync(plugin));

    EXPECT_EQ(host.log.Count("spinner: ProcessFlowEvent: interrupted: ran past its "
                             "time budget of 0.2 seconds"),
        1u) << host.log.Text();
    EXPECT_EQ(host.log.Count("spinner: served 3, swallowed 0"), 1u);
    EXPECT_THAT(err.Text(), HasSubstr("qpp.CallbackTimeout: ProcessFlowEvent ran past "
                                      "its time budget of 0.2 seconds"));
    // A sleep in C ends on its own; the interruption is raised when it does.
    EXPECT_EQ(host.log.Count("spinner: ProcessAgentEvent: interrupted: ran past its "
                             "time budget of 0.2 seconds"),
        1u) << host.log.Text();
    EXPECT_EQ(host.log.Count("spinner: ProcessAgentEvent: still running after "), 1u);
    EXPECT_EQ(host.log.Count(" seconds, interrupted 1 times: blocked where Python "
                             "cannot interrupt it, or catching the interruption"),
        1u) << host.log.Text();
    json stats = qppHostStats(plugin)["callbacks"];
    EXPECT_EQ(stats["ProcessFlowEvent"]["calls"], 2) << stats.dump();
    EXPECT_EQ(stats["ProcessFlowEvent"]["interrupted"], 1);
    EXPECT_EQ(stats["ProcessFlowEvent"]["exceptions"], 0);
    EXPECT_EQ(stats["ProcessAgentEvent"]["interrupted"], 1);
    EXPECT_EQ(stats["ProcessAgentEvent"]["exceptions"], 0);
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
    // Dropped: termination ends the event in hand, then sends the notice.
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_COMPLETE);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);

    auto before = std::chrono::steady_clock::now();
    RunOrDie({[plugin] { TestHost::Stop(plugin); }}, std::chrono::seconds(20),
        "deleting an instance whose callback never returns");
    auto took = std::chrono::steady_clock::now() - before;
    EXPECT_GE(took, std::chrono::milliseconds(2900));
    EXPECT_EQ(host.log.Count("stuck: ProcessAgentEvent: interrupted: still running 3 "
                             "seconds after the instance was told to stop"),
        1u) << host.log.Text();
    EXPECT_THAT(host.log.Starting("stuck: event"),
        ElementsAre("stuck: event 11", "stuck: event 99"));
    EXPECT_EQ(host.log.Count("stuck: destroyed"), 1u);
}
