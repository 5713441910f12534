// Several instances, each fed by several host threads while its script is
// edited and reloaded under it, and meanwhile generations of one more
// instance: run under ThreadSanitizer by scripts/tsan.sh. What arrives during
// a re-import is dropped, so while reloads go on only the order is checked
// (each host thread's sequence numbers strictly increase); once they stop, a
// final batch from every thread must arrive complete.

#include <atomic>
#include <future>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;
using ::testing::ElementsAreArray;

namespace {

// What a probe has seen, in a module never reloaded (the probe loses its
// globals on every reload). Flows are named "instance-thread-sequence".
const char *const state_script = R"(
bad, versions, agents = [], set(), 0  # agents: agent events since the checkpoint
senders = {}  # thread -> [count, last, count since the checkpoint]

def seen(instance, name):
    global agents
    i, thread, seq = name.split("-")
    if i != instance:
        bad.append("foreign:" + name)
    elif thread == "checkpoint":
        agents = 0
        for record in senders.values():
            record[2] = 0
    else:
        record = senders.setdefault(thread, [0, -1, 0])
        if int(seq) <= record[1]:
            bad.append("order:%s:after:%d" % (name, record[1]))
        record[:] = [record[0] + 1, int(seq), record[2] + 1]

# Sent on every unload, reloads included; the last one counts.
def report(instance):
    # Events got through between reloads, not only after them.
    starved = ["starved:" + t for t, (count, last, final) in senders.items()
               if count - final < (last + 1 - final) // 10]
    return "stress-report %s bad=%r versions=%s agents=%d senders=%s\n" % (
        instance, (bad + starved)[:3], "".join(sorted(versions)), agents,
        ",".join("%s:%d:%d" % (t, r[1], r[2]) for t, r in sorted(senders.items())))
)";

// VERSION flips so that every other reload finds a new digest.
const char *const probe_script = R"(
import qpp
import stress_state as state

VERSION = "A"
INSTANCE = __name__.rsplit("_", 1)[1]
state.versions.add(VERSION)

def ProcessFlowEvent(event, flow):
    if not 2 <= event <= 7:
        state.bad.append("flow-event:%r" % event)
    state.seen(INSTANCE, flow["host_server_name"])

def ProcessFlowMap(flows):
    # One numbered flow and the host's shared live flow.
    names = sorted(f["host_server_name"] for f in flows)
    if len(names) != 2 or names[1] != "live":
        state.bad.append("map:" + "/".join(names))
    state.seen(INSTANCE, names[0])

def ProcessAgentEvent(event):
    if event == 99:
        qpp.print(state.report(INSTANCE))
    elif event in (11, 12):
        state.agents += 1
    else:
        state.bad.append("agent:%r" % event)
)";

std::string ProbeScript(char version)
{
    std::string text = probe_script;
    text[text.find("\"A\"") + 1] = version;
    return text;
}

constexpr int instances = 3, senders_per_instance = 3, final_batch = 200;
constexpr int churned = 8, churn_events = 40;
// Senders wait for their instance to catch up this often, which keeps the
// queues short however slow the build (ThreadSanitizer) makes the worker.
constexpr int sync_every = 50;

struct Probe
{
    std::string id, name, path;
    qdPluginProcessor *plugin = nullptr;
    long next_seq[senders_per_instance] = {};
};

}  // namespace

TEST(Stress, InstancesThreadsReloadsAndGenerations)
{
    TestHost host;
    WriteFile(host.ModuleDir() + "/stress_state.py", state_script);
    Probe probes[instances + 1];  // the last one is the generations'
    for (int i = 0; i <= instances; i++) {
        Probe &p = probes[i];
        p.id = std::to_string(i);
        p.name = "stress_probe_" + p.id;
        p.path = host.WriteScript(p.name, ProbeScript('A'), p.name);
    }

    // Made on one host thread...
    std::thread([&] {
        for (int i = 0; i < instances; i++)
            probes[i].plugin = host.Start("stress-" + probes[i].id, probes[i].name);
    }).join();
    for (int i = 0; i < instances; i++) ASSERT_NE(probes[i].plugin, nullptr);

    // The host's own updates, under the flow's mutex, to a flow every map holds.
    auto live = MakeFlow("live", 17, 5353);
    std::atomic<bool> mutating{true}, reloading{true};
    std::thread mutator([&] {
        for (unsigned n = 0; mutating; n++) {
            std::unique_lock<std::recursive_mutex> guard(live->lock);
            live->stats.lower_packets++;
            live->stats.lower_bytes += 1500;
            live->detected_application_name = n % 2 ? "short" : "a name too long for the SSO";
            live->risks.insert(n % 50);
            guard.unlock();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });

    // n events from host thread t: flow events of every kind, every eighth a
    // flow map that also holds the live flow, with every fifth an agent event.
    auto send = [&](Probe &p, int t, int n) {
        qdInstanceStatus status;
        for (int i = 0; i < n; i++) {
            long seq = p.next_seq[t]++;
            auto flow = MakeFlow(p.id + "-" + std::to_string(t) + "-" + std::to_string(seq));
            if (seq % 8 == 7) {
                qdFlowMap map(2);
                map.Insert("numbered", flow);
                map.Insert("live", live);
                p.plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_MAP, &map);
            }
            else {
                p.plugin->DispatchProcessorEvent(static_cast<qdPluginProcessor::Event>(
                    qdPluginProcessor::EVENT_FLOW_NEW + seq % 6), flow);
            }
            if (seq % 10 == 0)
                p.plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
            else if (seq % 5 == 0)
                p.plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_UPDATE_COMPLETE, &status);
        }
    };

    // Reload requests every few ms; every other round swaps the scripts first.
    long rounds = 0;
    std::thread reloader([&] {
        for (; reloading; rounds++) {
            for (int i = 0; i < instances; i++) {
                if (rounds % 2 == 0) WriteFile(probes[i].path, ProbeScript(rounds % 4 ? 'A' : 'B'));
                probes[i].plugin->DispatchEvent(qdPlugin::EVENT_RELOAD);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    // How long events and reloads go on together; QPP_STRESS_MS overrides.
    long ms = getenv("QPP_STRESS_MS") ? atol(getenv("QPP_STRESS_MS")) : 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 2000);
    std::atomic<int> failed_syncs{0};
    std::vector<std::thread> senders;
    for (int i = 0; i < instances; i++)
        for (int t = 0; t < senders_per_instance; t++)
            senders.emplace_back([&, i, t] {
                while (std::chrono::steady_clock::now() < until) {
                    send(probes[i], t, sync_every);
                    if (! TestHost::Sync(probes[i].plugin)) failed_syncs++;
                }
            });

    // A maker thread makes each generation (starting and feeding every other
    // one), a breaker destroys it while the next is made: CPython 3.12+
    // remembers per thread the thread state it last used, which must not be
    // one another thread freed with its sub-interpreter.
    Probe &churn = probes[instances];
    std::vector<std::promise<qdPluginProcessor *>> made(churned);
    std::vector<std::future<qdPluginProcessor *>> to_break;
    for (auto &m : made) to_break.push_back(m.get_future());
    std::thread maker([&] {
        for (int k = 0; k < churned; k++) {
            churn.plugin = k % 2 ? host.Create("stress-churn", churn.name)
                                 : host.Start("stress-churn", churn.name);
            if (k % 2 == 0 && churn.plugin != nullptr) {
                churn.next_seq[0] = 0;
                send(churn, 0, churn_events);
                if (! TestHost::Sync(churn.plugin)) failed_syncs++;
            }
            made[k].set_value(churn.plugin);
        }
    });
    std::thread breaker([&] {
        for (auto &plugin : to_break) TestHost::Stop(plugin.get());
    });
    for (auto &sender : senders) sender.join();
    maker.join();
    breaker.join();

    // Reloads stop; once served, nothing may be dropped any more.
    reloading = false;
    reloader.join();
    senders.clear();
    for (int i = 0; i < instances; i++) {
        ASSERT_TRUE(TestHost::Sync(probes[i].plugin));
        auto checkpoint = MakeFlow(std::to_string(i) + "-checkpoint-0");
        probes[i].plugin->DispatchProcessorEvent(qdPluginProcessor::EVENT_FLOW_UPDATED, checkpoint);
        for (int t = 0; t < senders_per_instance; t++)
            senders.emplace_back([&, i, t] { send(probes[i], t, final_batch); });
    }
    for (auto &sender : senders) sender.join();
    for (int i = 0; i < instances; i++) ASSERT_TRUE(TestHost::Sync(probes[i].plugin));
    mutating = false;
    mutator.join();

    // ...and destroyed on another.
    std::thread([&] {
        for (int i = 0; i < instances; i++) TestHost::Stop(probes[i].plugin);
    }).join();

    EXPECT_EQ(failed_syncs.load(), 0);
    EXPECT_GT(rounds, 10);
    EXPECT_EQ(host.log.Count("error importing"), 0u) << host.log.Text();
    EXPECT_EQ(host.log.Count("stress-churn: initialized"), static_cast<size_t>(churned));
    // Every fifth event of a final batch came with an agent event.
    for (int i = 0; i < instances; i++) {
        std::string sent;
        for (int t = 0; t < senders_per_instance; t++)
            sent += (t ? "," : "") + std::to_string(t) + ":" +
                std::to_string(probes[i].next_seq[t] - 1) + ":" + std::to_string(final_batch);
        auto reports = host.log.Starting("stress-report " + probes[i].id + " ");
        EXPECT_EQ(reports.empty() ? "" : reports.back(),
            "stress-report " + probes[i].id + " bad=[] versions=AB agents=" +
                std::to_string(senders_per_instance * final_batch / 5) + " senders=" + sent);
    }
    // Each started generation got everything it was sent, in order.
    std::string generation = "stress-report " + churn.id + " bad=[] versions=A agents=" +
        std::to_string(churn_events / 5) + " senders=0:" + std::to_string(churn_events - 1) +
        ":" + std::to_string(churn_events);
    EXPECT_THAT(host.log.Starting("stress-report " + churn.id + " "),
        ElementsAreArray(std::vector<std::string>(churned / 2, generation)));
    printf("%ld reload rounds\n", rounds);
}
