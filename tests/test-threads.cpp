// Threads that scripts start: waited for when the unload notice stops them,
// when the interpreter's own end starts them (atexit handlers, __del__
// methods), and left with their interpreter alive when they never end,
// without taking the host or its later instances down (threads that run
// from the import on: Endings/stubborn in test-runtime-exit.cpp).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;
using ::testing::HasSubstr;

namespace {

struct ThreadCase
{
    const char *name;
    const char *script;  // after "import atexit, threading, time" and "import qpp"
    bool reload;         // an edit and a reload before the instance goes
    const char *expected;
    size_t times;
};

void PrintTo(const ThreadCase &c, std::ostream *out) { *out << c.name; }

const ThreadCase thread_cases[] = {
    // The first version hears the unload notice before it is
    // re-executed, the second one when the instance goes.
    {"threads_polite", R"(
stop = threading.Event()
def work(name):
    while not stop.wait(0.01):
        pass
    qpp.print("threads: %s stopped\n" % name)
threading.Thread(target=work, args=("daemon",), daemon=True).start()
threading.Thread(target=work, args=("worker",), daemon=False).start()
def ProcessAgentEvent(event):
    if event == 99:
        stop.set()
)",
        true, "stopped", 4},  // two threads, two versions
    {"atexit_short", R"(
def work():
    time.sleep(0.2)
    qpp.print("atexit_short: thread done\n")
atexit.register(lambda: threading.Thread(target=work).start())
)",
        false, "atexit_short: thread done", 1},
    {"atexit_endless", R"(
def work():
    while True:
        time.sleep(0.01)
atexit.register(lambda: threading.Thread(target=work, daemon=True).start())
)",
        false, "atexit_endless: 1 script thread(s) still running after 3 seconds: ", 1},
    {"del_short", R"(
# The module's names are gone while it is torn down: what the thread
# needs, it holds.
def work(sleep=time.sleep, say=qpp.print):
    sleep(0.2)
    say("del_short: thread done\n")
class Starter:
    def __del__(self, start=threading.Thread):
        start(target=work).start()
keeper = Starter()
)",
        false, "del_short: thread done", 1},
};

using ScriptThreads = ::testing::TestWithParam<ThreadCase>;

}  // namespace

TEST_P(ScriptThreads, AreWaitedForOrLeftWithTheirInterpreter)
{
    const ThreadCase &c = GetParam();
    TestHost host;
    std::string text = std::string("import atexit, threading, time\nimport qpp\n") + c.script;
    // A script without callbacks is not bound and never told to unload.
    if (text.find("ProcessAgentEvent") == std::string::npos)
        text += "\n\ndef ProcessAgentEvent(event):\n    pass\n";
    std::string path = host.WriteScript(c.name, text);
    qdPluginProcessor *plugin = host.Start("python-" + std::string(c.name));
    ASSERT_NE(plugin, nullptr);
    if (c.reload) {
        WriteFile(path, text + "\n# edited\n");
        plugin->DispatchEvent(qdPlugin::EVENT_RELOAD);
        ASSERT_TRUE(TestHost::Sync(plugin));
    }
    TestHost::Stop(plugin);
    EXPECT_EQ(host.log.Count(c.expected), c.times) << host.log.Text();
    // A runner ends with whatever still runs in it.
    EXPECT_EQ(host.log.Count(Process() ? "they end with the runner" : "their interpreter is left alive"),
        std::string(c.name) == "atexit_endless" ? 1u : 0u);
    EXPECT_EQ(host.log.Count(std::string(c.name) + ": destroyed"), 1u);

    // Other instances still come and go.
    host.WriteScriptConf(host.InstallScript("extensions.py"));
    TestHost::Stop(host.Start("python-next"));
    EXPECT_THAT(host.log.Text(), HasSubstr("extensions: {\"a\": 1}"));
}

INSTANTIATE_TEST_SUITE_P(Scripts, ScriptThreads, ::testing::ValuesIn(thread_cases),
    [](const ::testing::TestParamInfo<ThreadCase> &info) { return info.param.name; });
