// How a replay ended: the exit status that a test suite can act on, and the
// one-line summary the tool writes last.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

enum qppReplayExit : int {
    QPP_REPLAY_DONE = 0,
    QPP_REPLAY_DIFFERS = 1,        // payloads differ from --expect
    QPP_REPLAY_BAD = 2,            // bad usage, bad input, output lost
    QPP_REPLAY_SCRIPT_FAILED = 3,  // a load failed, a callback raised or was interrupted
};

// What the plugin's counters say of the script's run.
struct qppReplayTally
{
    bool known = false;  // false when the plugin keeps no counters
    uint64_t served = 0;
    uint64_t dropped = 0;  // never served: a full queue, no script loaded, ...
    uint64_t raised = 0;
    uint64_t interrupted = 0;
    uint64_t failed_loads = 0;
    uint64_t payloads = 0;
    uint64_t refused = 0;

    // From the plugin's statistics object; a missing member counts 0.
    static qppReplayTally FromStats(const nlohmann::json &stats);

    bool ScriptFailed() const { return raised + interrupted + failed_loads > 0; }
};

// Bad usage or input wins over a difference, which wins over a script
// failure: each hides what the next would say.
int qppReplayExitStatus(bool bad, bool differs, const qppReplayTally &tally);

// "qpp-replay: 3 events served, 5 dropped, 1 callback error (1
// interrupted), 2 payloads", without a line end; the parts that count
// nothing unusual only when they count something.
std::string qppReplaySummary(const qppReplayTally &tally);
