// Several instances at once, each fed by several host threads while its
// script is edited and reloaded under it: run under ThreadSanitizer in CI
// (scripts/tsan.sh), where a data race, a lock-order inversion or a crash
// anywhere on these paths ends the run.
//
// What the scripts see is counted in tests/scripts/stress_state.py and
// reported on the unload notice. The hooks drop what arrives while a script
// is being re-imported, so while reloads go on only the order can be
// checked: each host thread's sequence numbers must arrive strictly
// increasing. Once reloads stop and the instance has caught up, a final
// batch from every thread must arrive complete.
//
// Instances are also made on one host thread and destroyed on another
// while others serve events.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;
using ::testing::AllOf;
using ::testing::Each;
using ::testing::HasSubstr;
using ::testing::SizeIs;

namespace {

constexpr int senders_per_instance = 3;
constexpr int final_batch = 200;
// Senders wait for their instance to catch up this often, which keeps the
// queues short however slow the build (ThreadSanitizer) makes the worker.
constexpr int sync_every = 50;

// How long events and reloads go on together; QPP_STRESS_MS overrides.
std::chrono::milliseconds RunTime()
{
    const char *value = getenv("QPP_STRESS_MS");
    long ms = value ? strtol(value, nullptr, 10) : 0;
    return std::chrono::milliseconds(ms > 0 ? ms : 2000);
}

// The last report of one instance's script, as key=value pairs.
std::map<std::string, std::string> LastReport(LogRecorder &log, int instance)
{
    auto lines = log.Starting("stress-report " + std::to_string(instance) + " ");
    std::map<std::string, std::string> report;
    if (lines.empty()) return report;
    std::istringstream words(lines.back());
    for (std::string word; words >> word;) {
        size_t equals = word.find('=');
        if (equals != std::string::npos)
            report[word.substr(0, equals)] = word.substr(equals + 1);
    }
    return report;
}

// A report's senders field, "thread:count:last:final,...": per thread,
// how many events arrived, the last number, and how many after the
// checkpoint.
std::map<long, std::array<long, 3>> Senders(const std::string &field)
{
    std::map<long, std::array<long, 3>> senders;
    std::istringstream items(field);
    for (std::string item; std::getline(items, item, ',');) {
        long t;
        std::array<long, 3> r;
        if (sscanf(item.c_str(), "%ld:%ld:%ld:%ld", &t, &r[0], &r[1], &r[2]) == 4)
            senders[t] = r;
    }
    return senders;
}

// One instance under test and what its host threads have sent it.
struct Probe
{
    int id = 0;
    std::string path;
    std::string versions[2];
    qdPluginProcessor *plugin = nullptr;
    long next_seq[senders_per_instance] = {};
    std::atomic<long> final_agents{0};
};

class Stress : public ::testing::Test
{
protected:
    void Install(Probe &probe)
    {
        std::string name = "stress_probe_" + std::to_string(probe.id);
        probe.path = host.InstallScript("stress_probe.py", name + ".py");
        probe.versions[0] = ReadFile(probe.path);
        probe.versions[1] = probe.versions[0];
        size_t at = probe.versions[1].find("VERSION = \"A\"");
        ASSERT_NE(at, std::string::npos);
        probe.versions[1][at + 11] = 'B';
        host.WriteScriptConf(probe.path, false, name);
    }

    // Sends n rounds from one host thread: mostly single-flow events, a
    // flow map every eighth, an agent event every fifth. Returns the agent
    // events sent.
    long Send(Probe &probe, int thread, int n)
    {
        long agents = 0;
        qdInstanceStatus status;
        for (int i = 0; i < n; i++) {
            long seq = probe.next_seq[thread]++;
            std::string name = std::to_string(probe.id) + "-" +
                std::to_string(thread) + "-" + std::to_string(seq);
            auto flow = MakeFlow(name, 6, static_cast<uint16_t>(1024 + seq % 60000));
            if (seq % 8 == 7) {
                qdFlowMap map(2);
                map.Insert("numbered", flow);
                map.Insert("live", live);
                probe.plugin->DispatchProcessorEvent(
                    qdPluginProcessor::EVENT_FLOW_MAP, &map);
            }
            else {
                auto event = static_cast<qdPluginProcessor::Event>(
                    qdPluginProcessor::EVENT_FLOW_NEW + seq % 6);
                probe.plugin->DispatchProcessorEvent(event, flow);
            }
            if (seq % 5 == 0) {
                if (seq % 10 == 0) {
                    probe.plugin->DispatchProcessorEvent(
                        qdPluginProcessor::EVENT_UPDATE_INIT);
                }
                else {
                    probe.plugin->DispatchProcessorEvent(
                        qdPluginProcessor::EVENT_UPDATE_COMPLETE, &status);
                }
                agents++;
            }
        }
        return agents;
    }

    // The host's own updates to a flow that every map holds, under the
    // flow's mutex as the daemon makes them.
    void Mutate()
    {
        for (uint64_t n = 0; ! stop_mutator; n++) {
            {
                std::lock_guard<std::recursive_mutex> guard(live->lock);
                live->stats.lower_packets++;
                live->stats.lower_bytes += 1500;
                live->stats.total_packets++;
                live->detected_application_name = (n % 2)
                    ? "short"
                    : "a name too long for the small string buffer";
                live->risks.insert(static_cast<uint32_t>(n % 50));
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    // Every few milliseconds a reload request to every instance; every
    // other time the scripts are swapped for their other version first.
    void Reload(const std::vector<Probe *> &probes, std::atomic<bool> &stop)
    {
        for (int round = 0; ! stop; round++) {
            for (Probe *probe : probes) {
                if (round % 2 == 0)
                    WriteFile(probe->path, probe->versions[(round / 2 + 1) % 2]);
                probe->plugin->DispatchEvent(qdPlugin::EVENT_RELOAD);
            }
            reloads++;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    void Check(Probe &probe)
    {
        SCOPED_TRACE("instance " + std::to_string(probe.id));
        auto report = LastReport(host.log, probe.id);
        ASSERT_FALSE(report.empty()) << host.log.Text();
        EXPECT_EQ(report["bad"], "0") << "first: " << report["first_bad"];
        EXPECT_EQ(report["checkpoints"], "1");
        // Both versions were imported, and more than once each.
        EXPECT_EQ(report["versions"], "AB");
        EXPECT_GE(std::stol(report["imports"]), 4);
        EXPECT_EQ(std::stol(report["agents_final"]), probe.final_agents.load());

        auto senders = Senders(report["senders"]);
        ASSERT_EQ(senders.size(), static_cast<size_t>(senders_per_instance))
            << report["senders"];
        for (auto &[t, record] : senders) {
            SCOPED_TRACE("thread " + std::to_string(t));
            auto [count, last, final] = record;
            EXPECT_EQ(final, final_batch);
            EXPECT_EQ(last, probe.next_seq[t] - 1);
            EXPECT_LE(count, probe.next_seq[t]);
            // Events got through between reloads, not only after them.
            EXPECT_GT(count - final_batch, (probe.next_seq[t] - final_batch) / 10);
        }
    }

    // Terminate, then delete. A worker waiting for events notices the
    // request only when woken or after its one-second wait; a sync point
    // wakes it at once.
    static void Stop(qdPluginProcessor *plugin)
    {
        plugin->Terminate();
        TestHost::Sync(plugin);
        delete plugin;
    }

    TestHost host;
    std::shared_ptr<qdFlow> live = MakeFlow("live", 17, 5353);
    std::atomic<bool> stop_mutator{false};
    std::atomic<long> reloads{0};
};

}  // namespace

TEST_F(Stress, InstancesThreadsAndReloads)
{
    constexpr int instances = 3;
    std::vector<std::unique_ptr<Probe>> probes;
    host.InstallScript("stress_state.py");
    for (int i = 0; i < instances; i++) {
        probes.emplace_back(new Probe);
        probes.back()->id = i;
        Install(*probes.back());
    }

    // Made on one host thread...
    std::thread([&] {
        for (auto &probe : probes) {
            std::string name = "stress_probe_" + std::to_string(probe->id);
            probe->plugin = host.Start("stress-" + std::to_string(probe->id), name);
        }
    }).join();
    for (auto &probe : probes) ASSERT_NE(probe->plugin, nullptr);

    std::thread mutator([this] { Mutate(); });
    std::atomic<bool> stop_reloader{false};
    std::vector<Probe *> reloaded;
    for (auto &probe : probes) reloaded.push_back(probe.get());
    std::thread reloader([&] { Reload(reloaded, stop_reloader); });

    std::atomic<int> failed_syncs{0};
    auto until = std::chrono::steady_clock::now() + RunTime();
    std::vector<std::thread> senders;
    for (auto &probe : probes) {
        for (int t = 0; t < senders_per_instance; t++) {
            senders.emplace_back([&, p = probe.get(), t] {
                while (std::chrono::steady_clock::now() < until) {
                    Send(*p, t, sync_every);
                    if (! TestHost::Sync(p->plugin)) failed_syncs++;
                }
            });
        }
    }
    for (auto &sender : senders) sender.join();
    senders.clear();

    // Reloads stop; once every instance has served the last request, the
    // script is bound and stays bound: nothing may be dropped any more.
    stop_reloader = true;
    reloader.join();
    for (auto &probe : probes) {
        ASSERT_TRUE(TestHost::Sync(probe->plugin));
        auto checkpoint = MakeFlow(std::to_string(probe->id) + "-checkpoint-0");
        probe->plugin->DispatchProcessorEvent(
            qdPluginProcessor::EVENT_FLOW_UPDATED, checkpoint);
    }
    for (auto &probe : probes) {
        for (int t = 0; t < senders_per_instance; t++) {
            senders.emplace_back([p = probe.get(), t, this] {
                p->final_agents += Send(*p, t, final_batch);
            });
        }
    }
    for (auto &sender : senders) sender.join();
    for (auto &probe : probes) ASSERT_TRUE(TestHost::Sync(probe->plugin));
    stop_mutator = true;
    mutator.join();

    // ...and destroyed on another.
    std::thread([&] {
        for (auto &probe : probes) {
            Stop(probe->plugin);
            probe->plugin = nullptr;
        }
    }).join();

    EXPECT_EQ(failed_syncs.load(), 0);
    EXPECT_GT(reloads.load(), 10);
    EXPECT_EQ(host.log.Count("error importing"), 0u) << host.log.Text();
    EXPECT_EQ(host.log.Count("thread ended by exception"), 0u);
    for (auto &probe : probes) Check(*probe);
    printf("%ld reload rounds\n", reloads.load());
}

// Generations of instances: a maker thread starts each one (every other
// one it only makes, never started) and feeds it, a breaker thread destroys
// it while the maker makes the next, and an instance that stays serves
// events and reloads meanwhile. The runtime came up on a third thread (the
// test's own). CPython 3.12 and later remember, per thread, the thread
// state a thread last used; no host thread may be left remembering one that
// another thread freed with its sub-interpreter.
TEST_F(Stress, InstancesComeAndGoWhileOthersServe)
{
    constexpr int churned = 8, churn_events = 40;
    host.InstallScript("stress_state.py");
    Probe stays;
    stays.id = 0;
    Install(stays);
    Probe churn;
    churn.id = 1;
    Install(churn);
    stays.plugin = host.Start("stress-0", "stress_probe_0");
    ASSERT_NE(stays.plugin, nullptr);

    std::thread mutator([this] { Mutate(); });
    std::atomic<bool> churning{true};
    std::atomic<int> failed_syncs{0};
    std::atomic<bool> stop_reloader{false};
    std::thread reloader([&] { Reload({&stays}, stop_reloader); });
    std::vector<std::thread> senders;
    for (int t = 0; t < 2; t++) {
        senders.emplace_back([&, t] {
            while (churning) {
                Send(stays, t, sync_every);
                if (! TestHost::Sync(stays.plugin)) failed_syncs++;
            }
        });
    }

    // Handed from maker to breaker: the instance, and whether it started.
    std::mutex handoff_lock;
    std::condition_variable handoff_cond;
    std::deque<std::pair<qdPluginProcessor *, bool>> handoff;
    bool made_all = false;
    std::atomic<long> churn_agents{0};
    std::thread maker([&] {
        for (int k = 0; k < churned; k++) {
            bool start = k % 2 == 0;
            churn.plugin = start ? host.Start("stress-churn", "stress_probe_1")
                                 : host.Create("stress-churn", "stress_probe_1");
            if (churn.plugin == nullptr) break;
            if (start) {
                churn.next_seq[0] = 0;
                churn_agents += Send(churn, 0, churn_events);
                if (! TestHost::Sync(churn.plugin)) failed_syncs++;
            }
            std::lock_guard<std::mutex> guard(handoff_lock);
            handoff.emplace_back(churn.plugin, start);
            handoff_cond.notify_one();
        }
        std::lock_guard<std::mutex> guard(handoff_lock);
        made_all = true;
        handoff_cond.notify_one();
    });
    int destroyed = 0;
    std::thread breaker([&] {
        for (;;) {
            std::unique_lock<std::mutex> guard(handoff_lock);
            handoff_cond.wait(guard, [&] { return made_all || ! handoff.empty(); });
            if (handoff.empty()) break;
            auto [plugin, started] = handoff.front();
            handoff.pop_front();
            guard.unlock();
            if (started)
                Stop(plugin);
            else
                delete plugin;
            destroyed++;
        }
    });
    maker.join();
    breaker.join();

    churning = false;
    stop_reloader = true;
    for (auto &sender : senders) sender.join();
    reloader.join();
    ASSERT_TRUE(TestHost::Sync(stays.plugin));
    Stop(stays.plugin);
    stop_mutator = true;
    mutator.join();

    EXPECT_EQ(destroyed, churned);
    EXPECT_EQ(failed_syncs.load(), 0);
    EXPECT_EQ(host.log.Count("error importing"), 0u) << host.log.Text();
    EXPECT_EQ(host.log.Count("stress-churn: initialized"), static_cast<size_t>(churned));

    // Each started churned instance got everything it was sent, in order.
    std::string expected = "bad=0 first_bad=- senders=0:" +
        std::to_string(churn_events) + ":" + std::to_string(churn_events - 1) +
        ":" + std::to_string(churn_events);
    std::string agents =
        "agents=" + std::to_string(churn_agents.load() / (churned / 2)) + " ";
    EXPECT_THAT(host.log.Starting("stress-report 1 "),
        AllOf(SizeIs(churned / 2), Each(AllOf(HasSubstr(expected), HasSubstr(agents)))));

    auto report = LastReport(host.log, 0);
    EXPECT_EQ(report["bad"], "0") << "first: " << report["first_bad"];
    EXPECT_EQ(report["versions"], "AB");
    printf("%ld reload rounds\n", reloads.load());
}
