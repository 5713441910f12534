#include "replay-status.h"

using json = nlohmann::json;

namespace {

uint64_t Counter(const json &stats, std::initializer_list<const char *> path)
{
    const json *at = &stats;
    for (const char *key : path) {
        if (! at->is_object()) return 0;
        auto it = at->find(key);
        if (it == at->end()) return 0;
        at = &*it;
    }
    return at->is_number_unsigned() ? at->get<uint64_t>() : 0;
}

std::string Count(uint64_t n, const std::string &thing)
{
    return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
}

}  // namespace

qppReplayTally qppReplayTally::FromStats(const json &stats)
{
    qppReplayTally tally;
    tally.known = stats.is_object();
    tally.served = Counter(stats, {"events", "served"});
    tally.dropped = Counter(stats, {"events", "dropped"});
    auto callbacks = stats.is_object() ? stats.find("callbacks") : stats.end();
    if (stats.is_object() && callbacks != stats.end() && callbacks->is_object()) {
        for (auto &callback : callbacks->items()) {
            tally.raised += Counter(callback.value(), {"exceptions"});
            tally.interrupted += Counter(callback.value(), {"interrupted"});
        }
    }
    tally.failed_loads = Counter(stats, {"reloads", "failed"});
    tally.payloads = Counter(stats, {"payloads", "dispatched"});
    tally.refused = Counter(stats, {"payloads", "refused"});
    return tally;
}

int qppReplayExitStatus(bool bad, bool differs, const qppReplayTally &tally)
{
    if (bad) return QPP_REPLAY_BAD;
    if (differs) return QPP_REPLAY_DIFFERS;
    if (tally.ScriptFailed()) return QPP_REPLAY_SCRIPT_FAILED;
    return QPP_REPLAY_DONE;
}

std::string qppReplaySummary(const qppReplayTally &tally)
{
    if (! tally.known) return "qpp-replay: the plugin keeps no counters";
    std::string text = "qpp-replay: " + Count(tally.served, "event") + " served, ";
    if (tally.dropped > 0) text += std::to_string(tally.dropped) + " dropped, ";
    text += Count(tally.raised + tally.interrupted, "callback error");
    if (tally.interrupted > 0)
        text += " (" + std::to_string(tally.interrupted) + " interrupted)";
    if (tally.failed_loads > 0)
        text += ", " + Count(tally.failed_loads, "failed script load");
    text += ", " + Count(tally.payloads, "payload");
    if (tally.refused > 0) text += " (" + std::to_string(tally.refused) + " refused)";
    return text;
}
