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
// keep the interruption from ending the call; sleeps in C on event 11 and
// spins for ever on event 12.
const char *const spinner = R"(
import time, qpp
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
    qpp.print("spinner: agent %d\n" % event)
    if event == 11:
        time.sleep(3)
    while event == 12:
        pass
)";

}  // namespace

// The budget comes and goes with reloads that leave the script as it is.
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

    EXPECT_EQ(host.log.Count("spinner: served 3, swallowed 0"), 1u) << host.log.Text();
    EXPECT_THAT(err.Text(), HasSubstr("qpp.CallbackTimeout: ProcessFlowEvent ran past "
                                      "its time budget of 0.2 seconds"));
    // A sleep in C ends on its own; the interruption is raised when it does.
    json stats = qppHostStats(plugin)["callbacks"];
    for (std::string name : {"ProcessFlowEvent", "ProcessAgentEvent"}) {
        EXPECT_EQ(host.log.Count("spinner: " + name + ": interrupted: ran past its time "
                                 "budget of 0.2 seconds"), 1u) << host.log.Text();
        EXPECT_EQ(stats[name]["interrupted"], 1) << stats.dump();
        EXPECT_EQ(stats[name]["exceptions"], 0);
    }
    EXPECT_EQ(stats["ProcessFlowEvent"]["calls"], 2);
    EXPECT_EQ(host.log.Count("spinner: ProcessAgentEvent: still running after "), 1u);
    EXPECT_EQ(host.log.Count(" seconds, interrupted 1 times: blocked where Python "
                             "cannot interrupt it, or catching the interruption"), 1u);

    // Without a budget only the deletion's grace ends a callback that never
    // returns; what is still queued is dropped, and the notice is sent.
    host.WriteConf("{\"script\": \"" + path + "\", \"callback_timeout\": null}");
    plugin->DispatchEvent(qdPlugin::EVENT_RELOAD);
    ASSERT_TRUE(TestHost::Sync(plugin));
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_COMPLETE);
    ASSERT_TRUE(host.log.WaitFor("spinner: agent 12"));
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    auto before = std::chrono::steady_clock::now();
    RunOrDie({[plugin] { TestHost::Stop(plugin); }}, std::chrono::seconds(20),
        "deleting an instance whose callback never returns");
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(2900));
    EXPECT_EQ(host.log.Count("spinner: ProcessAgentEvent: interrupted: still running 3 "
                             "seconds after the instance was told to stop"),
        1u) << host.log.Text();
    EXPECT_THAT(host.log.Starting("spinner: agent"),
        ElementsAre("spinner: agent 11", "spinner: agent 12", "spinner: agent 99"));
    EXPECT_EQ(host.log.Count("spinner: destroyed"), 1u);
}
