// What the module's functions do when the C++ they call throws: the script
// gets a Python exception, and the host goes on.

#include <mutex>
#include <new>
#include <stdexcept>

#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;

TEST(ModuleFunctions, ExceptionsOfTheHostReachScriptsAsPythonExceptions)
{
    std::mutex lock;
    std::string text;
    auto count = [&](const std::string &what) {
        std::lock_guard<std::mutex> guard(lock);
        size_t n = 0;
        for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at++) n++;
        return n;
    };
    TestHost host;
    // A logger that fails for chosen messages, as a daemon's may when it
    // runs out of memory; it records the rest.
    qd_set_log_sink([&](const std::string &message) {
        if (message == "throw bad_alloc") throw std::bad_alloc();
        if (message == "throw runtime_error") throw std::runtime_error("logger broke");
        if (message == "throw int") throw 42;
        std::lock_guard<std::mutex> guard(lock);
        text += message;
    });

    qdPluginProcessor *plugin = host.StartScript("modfail", R"(
import qpp

def ProcessAgentEvent(event):
    if event != 11:
        return
    calls = [
        ("print bad_alloc", lambda: qpp.print("throw bad_alloc")),
        ("debug runtime_error", lambda: qpp.debug("throw runtime_error")),
        ("print int", lambda: qpp.print("throw int")),
    ]
    for what, call in calls:
        try:
            qpp.print("modfail: %s returned %r\n" % (what, call()))
        except Exception as e:
            qpp.print("modfail: %s raised %s: %s\n" % (what, type(e).__name__, e))
)");
    ASSERT_NE(plugin, nullptr);
    plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    ASSERT_TRUE(TestHost::Sync(plugin));
    TestHost::Stop(plugin);

    EXPECT_EQ(count("modfail: print bad_alloc raised MemoryError: qpp.print: out of memory"),
        1u) << text;
    EXPECT_EQ(count("modfail: debug runtime_error raised RuntimeError: qpp.debug: "
                        "logger broke"),
        1u);
    EXPECT_EQ(count("modfail: print int raised RuntimeError: qpp.print: unknown C++ "
                        "exception"),
        1u);
    EXPECT_EQ(count("modfail: destroyed"), 1u);
}
