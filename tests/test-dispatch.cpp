// Payloads from scripts to the host's sinks, and what the module's functions
// do when the host's C++ under them throws: the script gets False or a
// Python exception, and the host goes on.

#include <mutex>
#include <new>
#include <sstream>
#include <stdexcept>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;
using ::testing::ElementsAreArray;

namespace {

// Calls the module's functions in every shape they accept or refuse, and
// reports what each call returned, one "disp:" line per call.
const char *const dispatcher = R"(import threading

import qpp

def report(name, call):
    try:
        result = call()
    except Exception as e:
        result = "%s: %s" % (type(e).__name__, e)
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
    for thrown in ("int", "text", "runtime_error", "qdException"):
        report("refused " + thrown, lambda: qpp.dispatch("refuser", [], thrown))
    report("tuple", lambda: qpp.dispatch("sink", ("a",), "x"))
    report("option 256", lambda: qpp.dispatch("sink", [], "x", 256))
    report("option -1", lambda: qpp.dispatch("sink", [], "x", 0, -1))
    report("missing", lambda: qpp.dispatch("sink", []))
    report("surplus", lambda: qpp.dispatch("sink", [], "x", 0, 0, 0))
    report("nul", lambda: qpp.dispatch("sink", [], "a\0b"))
    report("bytes payload", lambda: qpp.dispatch("sink", [], b"x"))
    report("surrogate", lambda: qpp.dispatch("sink", ["ok", "\udc80"], "x"))
    report("keyword", lambda: qpp.dispatch("sink", [], payload="x"))
    report("print bad_alloc", lambda: qpp.print("throw bad_alloc"))
    report("debug runtime_error", lambda: qpp.debug("throw runtime_error"))
    report("print int", lambda: qpp.print("throw int"))
    t = threading.Thread(target=from_own_thread)
    t.start()
    t.join()
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
        qdPluginProcessor *plugin = host.StartScript("dispatcher", dispatcher);
        ASSERT_NE(plugin, nullptr);
        plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
        ASSERT_TRUE(TestHost::Sync(plugin));
        TestHost::Stop(plugin);

        std::vector<std::string> results;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("disp: ", 0) == 0) results.push_back(line.substr(6));
        const std::string type_error = "'TypeError: dispatch argument type error'";
        EXPECT_THAT(results,
            ElementsAreArray(std::vector<std::string>{"import = True", "channels = True",
                "empty = True", "flags 1 1 = True", "flags 2 0 = True", "flags 3 2 = True",
                "flags 0 1 = True", "unicode = True", "unknown target = False",
                "refused int = False", "refused text = False", "refused runtime_error = False",
                "refused qdException = False", "tuple = " + type_error,
                "option 256 = " + type_error, "option -1 = " + type_error,
                "missing = " + type_error, "surplus = " + type_error, "nul = " + type_error,
                "bytes payload = " + type_error,
                "surrogate = 'TypeError: channel list items must be Unicode strings.'",
                "keyword = 'TypeError: dispatch() takes no keyword arguments'",
                "print bad_alloc = 'MemoryError: qpp.print: out of memory'",
                std::string("debug runtime_error = ") +
                    (debug ? "'RuntimeError: qpp.debug: logger broke'" : "0"),
                "print int = 'RuntimeError: qpp.print: unknown C++ exception'",
                "own thread = 'TypeError: dispatch error; plugin instance not found'"}))
            << text;
        // Logged only with the host's debug on.
        for (auto [line, n] : {std::pair<std::string, size_t>{"sink not found: nowhere", 1},
                 {"error dispatching payload: unknown exception", 2}, {"destroyed", 1}}) {
            size_t seen = 0;
            for (size_t at = 0; (at = text.find("dispatcher: " + line, at)) != std::string::npos; at++)
                seen++;
            EXPECT_EQ(seen, debug ? n : 0u) << line;
        }

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
