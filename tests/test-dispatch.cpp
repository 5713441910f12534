// Payloads from scripts to the host's sinks, and what the module's functions
// do when the host's C++ under them throws: the script gets False or a
// Python exception, and the host goes on.

#include <mutex>
#include <new>
#include <stdexcept>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;
using ::testing::ElementsAreArray;

namespace {

// Calls the module's functions in every shape they accept or refuse; reports
// each call that did not return what it should, then how many calls it made.
const char *const dispatcher = R"(import threading

import qpp

TYPE_ERROR = "TypeError: dispatch argument type error"
calls = 0

def report(name, expected, call):
    global calls
    calls += 1
    try:
        result = call()
    except Exception as e:
        result = "%s: %s" % (type(e).__name__, e)
    if repr(result) != repr(expected):  # True is not 1
        qpp.print("disp: %s = %r, not %r\n" % (name, result, expected))

# The worker is registered while the script is imported.
report("import", True, lambda: qpp.dispatch("sink", ["import"], "at import"))

def from_own_thread():
    report("own thread", "TypeError: dispatch error; plugin instance not found",
        lambda: qpp.dispatch("sink", [], "x"))

def ProcessAgentEvent(event):
    if event != 11:
        return
    report("channels", True, lambda: qpp.dispatch("sink", [1, "a", None, "a", "b"], "p1"))
    report("empty", True, lambda: qpp.dispatch("sink", [], ""))
    report("flags 1 1", True, lambda: qpp.dispatch("sink", ["c"], "p2", 1, 1))
    report("flags 2 0", True, lambda: qpp.dispatch("sink", ["c"], "p3", 2))
    report("flags 3 2", True, lambda: qpp.dispatch("sink", ["c"], "p4", 3, 2))
    report("flags 0 1", True, lambda: qpp.dispatch("sink", ["c"], "p5", 0, 1))
    report("unicode", True, lambda: qpp.dispatch("sink", ["z", "\u00e9", "Z"], "\u00e9t\u00e9"))
    report("unknown target", False, lambda: qpp.dispatch("nowhere", [], "lost"))
    for thrown in ("int", "text", "runtime_error", "qdException"):
        report("refused " + thrown, False, lambda: qpp.dispatch("refuser", [], thrown))
    report("tuple", TYPE_ERROR, lambda: qpp.dispatch("sink", ("a",), "x"))
    report("option 256", TYPE_ERROR, lambda: qpp.dispatch("sink", [], "x", 256))
    report("option -1", TYPE_ERROR, lambda: qpp.dispatch("sink", [], "x", 0, -1))
    report("missing", TYPE_ERROR, lambda: qpp.dispatch("sink", []))
    report("surplus", TYPE_ERROR, lambda: qpp.dispatch("sink", [], "x", 0, 0, 0))
    report("nul", TYPE_ERROR, lambda: qpp.dispatch("sink", [], "a\0b"))
    report("bytes payload", TYPE_ERROR, lambda: qpp.dispatch("sink", [], b"x"))
    report("surrogate", "TypeError: channel list items must be Unicode strings.",
        lambda: qpp.dispatch("sink", ["ok", "\udc80"], "x"))
    report("keyword", "TypeError: dispatch() takes no keyword arguments",
        lambda: qpp.dispatch("sink", [], payload="x"))
    # A runner hands its lines over and goes on: the daemon's logger fails
    # without the script.
    report("print bad_alloc", 0 if PROCESS else "MemoryError: qpp.print: out of memory",
        lambda: qpp.print("throw bad_alloc"))
    report("debug runtime_error",
        "RuntimeError: qpp.debug: logger broke" if DEBUG and not PROCESS else 0,
        lambda: qpp.debug("throw runtime_error"))
    report("print int", 0 if PROCESS else "RuntimeError: qpp.print: unknown C++ exception",
        lambda: qpp.print("throw int"))
    t = threading.Thread(target=from_own_thread)
    t.start()
    t.join()
    qpp.print("disp: %d calls\n" % calls)
)";

}  // namespace

TEST(Dispatch, WhatScriptsGiveIsWhatSinksGetAndWhatTheHostThrowsIsAnError)
{
    for (bool debug : {true, false}) {
        SCOPED_TRACE(debug);
        // A logger that fails for chosen messages, as a daemon's may when it
        // runs out of memory, and records the rest.
        std::mutex lock;
        std::string text;
        TestHost host;
        qd_set_log_sink([&](const std::string &message) {
            if (message == "throw bad_alloc") throw std::bad_alloc();
            if (message == "throw runtime_error") throw std::runtime_error("logger broke");
            if (message == "throw int") throw 42;
            std::lock_guard<std::mutex> guard(lock);
            text += message;
        });
        qd_set_debug(debug);
        SinkRecorder sinks({"sink"});
        // A sink refuses a payload by throwing, whatever it throws.
        qd_sink_register("refuser", [](const qdSinkPayload &p) {
            std::string thrown(p.payload.begin(), p.payload.end());
            if (thrown == "int") throw 42;
            if (thrown == "text") throw thrown;
            if (thrown == "qdException") throw qdException("%s", "no");
            throw std::runtime_error("no");
        });
        qdPluginProcessor *plugin = host.StartScript(
            "dispatcher", std::string("DEBUG = ") + (debug ? "True\n" : "False\n") +
                "PROCESS = " + (Process() ? "True\n" : "False\n") + dispatcher);
        ASSERT_NE(plugin, nullptr);
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
        ASSERT_TRUE(TestHost::Sync(plugin));
        TestHost::Stop(plugin);

        auto count = [&](const std::string &line) {
            size_t seen = 0;
            for (size_t at = 0; (at = text.find(line, at)) != std::string::npos; at++) seen++;
            return seen;
        };
        EXPECT_EQ(count("disp: "), 1u) << text;
        EXPECT_EQ(count("disp: 26 calls\n"), 1u);
        // Logged only with the host's debug on.
        for (auto [line, n] : {std::pair<std::string, size_t>{"sink not found: nowhere", 1},
                 {"error dispatching payload: unknown exception", 2}, {"destroyed", 1}})
            EXPECT_EQ(count("dispatcher: " + line), debug ? n : 0u) << line;

        // Channels in the byte-wise order of their UTF-8 names; UTF-8 payloads.
        std::vector<std::string> payloads;
        for (auto &p : sinks.Payloads()) {
            std::string described = p.target + " " + std::to_string(p.flags);
            for (auto &channel : p.channels) described += " " + channel;
            payloads.push_back(described + ": " + std::string(p.payload.begin(), p.payload.end()));
        }
        EXPECT_THAT(payloads,
            ElementsAreArray({"sink 0 import: at import", "sink 0 a b: p1", "sink 0: ",
                "sink 17 c: p2", "sink 2 c: p3", "sink 0 c: p4", "sink 16 c: p5",
                "sink 0 Z z \xc3\xa9: \xc3\xa9t\xc3\xa9"}));
    }
}
