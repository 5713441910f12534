// Faults below Python, in a script runner: the runner ends (or is ended),
// the host and another instance go on, the end is logged once and counted,
// what was in flight is dropped, and the runner comes back with the script
// loaded afresh. Runners only: in the daemon's process these end the host.

#include <atomic>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;
using ::testing::HasSubstr;

namespace {

struct Fault
{
    const char *name;
    const char *code;  // run by ProcessAgentEvent(11)
    const char *conf;  // more of the configuration
    const char *end;   // the end's log line, after "script runner (pid N) "
    bool ends;         // the runner ends (and comes back)
};

void PrintTo(const Fault &fault, std::ostream *out) { *out << fault.name; }

// AddressSanitizer reports a fault of the runner's and exits with status 1.
#if defined(__SANITIZE_ADDRESS__)
#define QPP_SEGV_END "exited with status 1"
#else
#define QPP_SEGV_END "was killed by signal 11 (Segmentation fault)"
#endif

const Fault faults[] = {
    {"null", "import ctypes; ctypes.string_at(0)", "", QPP_SEGV_END " while ProcessAgentEvent ran",
        true},
    {"exit", "import os; os._exit(3)", "", "exited with status 3 while ProcessAgentEvent ran",
        true},
    {"abort", "import os; os.abort()", "", "was killed by signal 6 (Aborted) while "
        "ProcessAgentEvent ran", true},
    {"thread_exit", "import os, threading; threading.Thread(target=os._exit, args=(4,)).start()"
        "; threading.Event().wait()", "", "exited with status 4 while ProcessAgentEvent ran",
        true},
    {"sleep", "import time; time.sleep(3600)", R"(, "callback_timeout": 0.5)",
        "was killed: ProcessAgentEvent still running 3 seconds past its time budget of 0.5 "
        "seconds while ProcessAgentEvent ran", true},
    // Past the limit an allocation fails in the script; the runner stays.
    {"memory", "bytearray(2 << 30)", R"(, "memory_limit": 268435456)", "", false},
};

using Faults = ::testing::TestWithParam<Fault>;

}  // namespace

TEST_P(Faults, EndOnlyTheRunnerWhichComesBack)
{
    if (! Process()) GTEST_SKIP() << "a fault in the daemon's process ends it";
    const Fault &f = GetParam();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer's own memory counts against the limit: it fails first.
    if (std::string(f.name) == "memory") GTEST_SKIP() << "a sanitizer's runner";
#endif
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer reports the fault as a finding of its own.
    if (std::string(f.name) == "null") GTEST_SKIP() << "a sanitizer's runner";
#endif
    TestHost host;
    StderrCapture err;
    std::string faulty = host.ModuleDir() + "/faulty.py";
    WriteFile(faulty, std::string("import os, qpp\nqpp.print('faulty: imported\\n')\n"
                                  "def ProcessAgentEvent(event):\n"
                                  "    if event == 11:\n        ") + f.code + "\n"
                      "    qpp.print('faulty: served %d\\n' % event)\n");
    host.WriteConf("{\"script\": \"" + faulty + "\"" + f.conf + "}", "faulty");
    host.WriteScript("steady", R"(import qpp
flows = 0
def ProcessFlowEvent(event, flow):
    global flows
    flows += 1
def ProcessAgentEvent(event):
    if event == 12:
        qpp.print("steady: %d flows\n" % flows)
)", "steady");
    qdPluginProcessor *a = host.Start("python-faulty", "faulty");
    qdPluginProcessor *b = host.Start("python-steady", "steady");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);

    // The other instance's events flow all along.
    constexpr int flows = 20000;
    std::thread feeder([b] {
        auto flow = MakeFlow();
        for (int i = 0; i < flows; i++)
            b->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_UPDATED, flow);
    });
    // Joined however the test ends.
    struct Joined
    {
        std::thread &thread;
        ~Joined()
        {
            if (thread.joinable()) thread.join();
        }
    } joined{feeder};
    a->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    std::string end = "faulty: script runner (pid ";
    if (f.ends) {
        ASSERT_TRUE(host.log.WaitFor(f.end)) << host.log.Text() << err.Text();
        // Meanwhile the runner is down: dropped.
        a->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_COMPLETE);
        ASSERT_TRUE(host.log.WaitFor("faulty: imported", 2)) << host.log.Text();
        // Served once the worker is done with the restart.
        a->DispatchEvent(qdPlugin::EVENT_RELOAD);
        ASSERT_TRUE(TestHost::Sync(a));
    }
    else
        ASSERT_TRUE(TestHost::Sync(a));
    a->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_COMPLETE);
    ASSERT_TRUE(TestHost::Sync(a));
    EXPECT_EQ(host.log.Count("faulty: served 12"), 1u) << host.log.Text();

    json stats = qppHostStats(a);
    EXPECT_EQ(stats["runner"]["restarts"], f.ends ? 1 : 0) << stats.dump();
    EXPECT_THAT(stats["runner"]["last_end"].get<std::string>(), HasSubstr(f.end));
    EXPECT_EQ(stats["events"]["agent"]["served"], f.ends ? 1 : 2);
    EXPECT_EQ(stats["callbacks"]["ProcessAgentEvent"]["exceptions"], f.ends ? 0 : 1);
    // The event in flight, and the one that came while it was down.
    EXPECT_EQ(stats["events"]["agent"]["dropped"], f.ends ? 2 : 0);
    EXPECT_EQ(host.log.Count(end), f.ends ? 1u : 0u) << host.log.Text();
    if (f.ends)
        EXPECT_EQ(host.log.Count("; 1 event(s) dropped; starting it again in 1 s"), 1u);
    else
        EXPECT_THAT(err.Text(), HasSubstr("MemoryError"));
    if (std::string(f.name) == "sleep") {
        EXPECT_EQ(stats["callbacks"]["ProcessAgentEvent"]["interrupted"], 1);
        EXPECT_EQ(host.log.Count("faulty: ProcessAgentEvent: interrupted: ran past its time "
                                 "budget of 0.5 seconds"), 1u) << host.log.Text();
    }

    feeder.join();
    b->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_COMPLETE);
    ASSERT_TRUE(TestHost::Sync(b));
    EXPECT_EQ(host.log.Count("steady: " + std::to_string(flows) + " flows"), 1u) << host.log.Text();
    TestHost::Stop(a);
    TestHost::Stop(b);
}

INSTANTIATE_TEST_SUITE_P(Runner, Faults, ::testing::ValuesIn(faults),
    [](const ::testing::TestParamInfo<Fault> &info) { return info.param.name; });

// A runner stopped between calls says nothing while events wait for it:
// with a budget it is held to it all the same, ended and started again.
TEST(Faults, ARunnerStoppedBetweenCallsIsEndedPastTheBudget)
{
    if (! Process()) GTEST_SKIP() << "a stopped daemon stops everything";
    TestHost host;
    std::string script = host.ModuleDir() + "/stopped.py";
    WriteFile(script, R"(import os, qpp, signal, threading
qpp.print("stopped: imported\n")
def ProcessAgentEvent(event):
    if event == 11:
        threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGSTOP)).start()
)");
    host.WriteConf("{\"script\": \"" + script + "\", \"callback_timeout\": 0.5}", "stopped");
    qdPluginProcessor *a = host.Start("python-stopped", "stopped");
    ASSERT_NE(a, nullptr);
    a->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    ASSERT_TRUE(TestHost::Sync(a));
    std::string stat = "/proc/" + std::to_string(qppHostStats(a)["runner"]["pid"].get<int>()) + "/stat";
    auto stopped = [&stat] {
        std::string text = ReadFile(stat);
        size_t paren = text.rfind(')');
        return paren != std::string::npos && text.compare(paren + 2, 1, "T") == 0;
    };
    auto until = std::chrono::steady_clock::now() + deadline;
    while (! stopped() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(stopped());
    a->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_COMPLETE);
    ASSERT_TRUE(host.log.WaitFor("stopped: script runner (pid ")) << host.log.Text();
    EXPECT_EQ(host.log.Count(") was killed: nothing heard from it for 3.5 seconds while it had "
                             "work and no callback ran; 1 event(s) dropped; starting it again "
                             "in 1 s"), 1u) << host.log.Text();
    ASSERT_TRUE(host.log.WaitFor("stopped: imported", 2)) << host.log.Text();
    json stats = qppHostStats(a);
    EXPECT_EQ(stats["runner"]["restarts"], 1);
    EXPECT_EQ(stats["events"]["agent"]["dropped"], 1);
    TestHost::Stop(a);
}
