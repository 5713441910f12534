// Payloads from scripts to the host's sinks.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;
using ::testing::ElementsAre;

namespace {

std::string Text(const qdSinkPayload &p)
{
    return std::string(p.payload.begin(), p.payload.end());
}

// Dispatches payloads in every shape the module accepts or refuses, and
// reports what each call returned, one "disp:" line per call.
const char *const dispatcher = R"(import threading

import qpp

def report(name, call):
    try:
        result = call()
    except TypeError as e:
        result = "TypeError: %s" % e
    qpp.print("disp: %s = %r\n" % (name, result))

# The worker is registered while the script is imported.
report("import", lambda: qpp.dispatch("sink", ["import"], "at import"))

def from_own_thread():
    report("own thread", lambda: qpp.dispatch("sink", [], "x"))

def ProcessAgentEvent(event):
    if event != 11:
        return
    report("channels", lambda: qpp.dispatch("sink", [1, "a", None, "a", "b"], "p1"))
    report("empty", lambda: qpp.dispatch("sink", [], ""))
    report("flags 1 1", lambda: qpp.dispatch("sink", ["c"], "p2", 1, 1))
    report("flags 2 0", lambda: qpp.dispatch("sink", ["c"], "p3", 2))
    report("flags 3 2", lambda: qpp.dispatch("sink", ["c"], "p4", 3, 2))
    report("flags 0 1", lambda: qpp.dispatch("sink", ["c"], "p5", 0, 1))
    report("unicode", lambda: qpp.dispatch("sink", ["z", "\u00e9", "Z"], "\u00e9t\u00e9"))
    report("unknown target", lambda: qpp.dispatch("nowhere", [], "lost"))
    report("tuple", lambda: qpp.dispatch("sink", ("a",), "x"))
    report("option 256", lambda: qpp.dispatch("sink", [], "x", 256))
    report("option -1", lambda: qpp.dispatch("sink", [], "x", 0, -1))
    report("missing", lambda: qpp.dispatch("sink", []))
    report("surplus", lambda: qpp.dispatch("sink", [], "x", 0, 0, 0))
    report("nul", lambda: qpp.dispatch("sink", [], "a\0b"))
    report("bytes payload", lambda: qpp.dispatch("sink", [], b"x"))
    report("surrogate", lambda: qpp.dispatch("sink", ["ok", "\udc80"], "x"))
    report("keyword", lambda: qpp.dispatch("sink", [], payload="x"))
    t = threading.Thread(target=from_own_thread)
    t.start()
    t.join()
)";

}  // namespace

// With the host's debug off, a refused payload is not logged.
TEST(Dispatch, WhatScriptsGiveIsWhatSinksGet)
{
    for (bool debug : {true, false}) {
        SCOPED_TRACE(debug);
        TestHost host;
        qd_set_debug(debug);
        SinkRecorder sinks({"sink"});
        qdPluginProcessor *plugin = host.StartScript("dispatcher", dispatcher);
        ASSERT_NE(plugin, nullptr);
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
        ASSERT_TRUE(TestHost::Sync(plugin));
        TestHost::Stop(plugin);

        const std::string type_error = "'TypeError: dispatch argument type error'";
        EXPECT_THAT(host.log.Starting("disp: "),
            ElementsAre("disp: import = True", "disp: channels = True",
                "disp: empty = True", "disp: flags 1 1 = True", "disp: flags 2 0 = True",
                "disp: flags 3 2 = True", "disp: flags 0 1 = True", "disp: unicode = True",
                "disp: unknown target = False", "disp: tuple = " + type_error,
                "disp: option 256 = " + type_error, "disp: option -1 = " + type_error,
                "disp: missing = " + type_error, "disp: surplus = " + type_error,
                "disp: nul = " + type_error, "disp: bytes payload = " + type_error,
                "disp: surrogate = 'TypeError: channel list items must be Unicode strings.'",
                "disp: keyword = 'TypeError: dispatch() takes no keyword arguments'",
                "disp: own thread = 'TypeError: dispatch error; plugin instance not found'"))
            << host.log.Text();
        EXPECT_EQ(host.log.Count("dispatcher: error dispatching payload: "
                                 "dispatcher: sink not found: nowhere"),
            debug ? 1u : 0u) << host.log.Text();

        auto payloads = sinks.Payloads();
        ASSERT_EQ(payloads.size(), 8u);
        EXPECT_THAT(payloads[0].channels, ElementsAre("import"));
        EXPECT_EQ(Text(payloads[0]), "at import");
        EXPECT_THAT(payloads[1].channels, ElementsAre("a", "b"));
        EXPECT_EQ(Text(payloads[1]), "p1");
        EXPECT_EQ(payloads[1].flags, 0);
        EXPECT_TRUE(payloads[2].payload.empty());
        EXPECT_EQ(payloads[2].channels.size(), 0u);
        EXPECT_EQ(payloads[3].flags, 17);
        EXPECT_EQ(payloads[4].flags, 2);
        EXPECT_EQ(payloads[5].flags, 0);
        EXPECT_EQ(payloads[6].flags, 16);
        // Byte-wise order of the UTF-8 names, and the payload's UTF-8 bytes.
        EXPECT_THAT(payloads[7].channels, ElementsAre("Z", "z", "\xc3\xa9"));
        EXPECT_EQ(Text(payloads[7]), "\xc3\xa9t\xc3\xa9");
        for (auto &p : payloads) EXPECT_EQ(p.target, "sink");
    }
}
