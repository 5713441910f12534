// The event constants of the module qpp, as scripts in instances see them.

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;

namespace {

// Lists the constants when imported, and names the constants equal to every
// event value that reaches a callback.
const char *const constants_script = R"PY(
import qpp

names = sorted(n for n in dir(qpp) if n.startswith("EVENT_"))
qpp.print("constants: %s\n" % " ".join(
    "%s=%s:%d" % (n, type(getattr(qpp, n)).__name__, getattr(qpp, n)) for n in names))

def matching(event):
    return ",".join(n for n in names if getattr(qpp, n) == event) or "none"

def ProcessFlowEvent(event, flow):
    qpp.print("event %d: %s\n" % (event, matching(event)))

def ProcessAgentEvent(event):
    qpp.print("event %d: %s\n" % (event, matching(event)))
)PY";

// Each constant and its value. 1 reaches no callback (ProcessFlowMap has no
// event argument); 99 is the plugin's own notice, sent when it stops.
struct EventConstant
{
    const char *name;
    int value;
    bool flow;  // sent to the flow hook, or else the agent hook
};

const EventConstant event_constants[] = {
    {"EVENT_FLOW_MAP", 1, false},
    {"EVENT_FLOW_NEW", 2, true},
    {"EVENT_FLOW_UPDATED", 3, true},
    {"EVENT_FLOW_DPI_COMPLETE", 4, true},
    {"EVENT_FLOW_DPI_UPDATE", 5, true},
    {"EVENT_FLOW_EXPIRING", 6, true},
    {"EVENT_FLOW_EXPIRED", 7, true},
    {"EVENT_UPDATE_INIT", 11, false},
    {"EVENT_UPDATE_COMPLETE", 12, false},
    {"EVENT_UNLOAD", 99, false},
};

}  // namespace

// Two instances, so two sub-interpreters that each import the module: each
// sees every constant as an int of its value, and the value a callback
// receives for each event is the constant of that name.
TEST(ModuleConstants, EveryInstanceSeesTheEventValuesByName)
{
    TestHost host;
    // Sorted by name, as the script lists them.
    std::vector<std::string> listed;
    for (const EventConstant &c : event_constants)
        listed.push_back(std::string(c.name) + "=int:" + std::to_string(c.value));
    std::sort(listed.begin(), listed.end());
    std::string expected_list = "constants:";
    for (auto &item : listed) expected_list += " " + item;

    for (const char *name : {"constants_a", "constants_b"}) {
        host.WriteScript(name, constants_script, name);
        qdPluginProcessor *plugin = host.Start(name, name);
        ASSERT_NE(plugin, nullptr);
        for (const EventConstant &c : event_constants) {
            auto event = static_cast<qdPluginProcessor::Event>(c.value);
            auto flow = MakeFlow(c.name);
            if (c.flow)
                plugin->DispatchProcessorEvent(event, flow);
            else if (c.value != 1 && c.value != 99)
                plugin->DispatchProcessorEvent(event);
        }
        ASSERT_TRUE(TestHost::Sync(plugin));
        TestHost::Stop(plugin);  // the unload notice
    }
    EXPECT_EQ(host.log.Count(expected_list), 2u) << host.log.Text();
    for (const EventConstant &c : event_constants) {
        if (c.value == 1) continue;
        std::string line = "event " + std::to_string(c.value) + ": " + c.name;
        EXPECT_EQ(host.log.Count(line), 2u) << line << "\n" << host.log.Text();
    }
}
