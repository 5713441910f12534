// qppRunnerMonitor: the daemon's watch over one running script runner, on
// a thread of its own. It reads everything the runner sends (the up ring),
// acts on it for the instance (log lines, calls, payloads, the counters,
// acknowledgements), answers the runner's requests in the reply slot, and
// ends a runner that overstays: a call past its budget and a grace, a call
// still running a grace after the instance was told to stop (the runner
// interrupts it after the first grace itself), or any message that breaks
// the channel's rules. It sees the runner's end through its pidfd, takes
// what the runner wrote before it, and then ends too, waking the worker.
//
// What the worker has handed over and the runner has not acknowledged is
// the in-flight list: the worker appends to it before it writes to the
// down ring, the monitor takes from its front as acknowledgements come, in
// order, and counts each event served or dropped.
//
// Threads and locks. state_lock guards everything below it; it is taken
// by the worker, the monitor and the host thread that deletes the
// instance (BeginEnding), and held only for a moment: never while the
// runner is written to or read, nor while a sink works. The queue's lock
// may be taken under it (waking the worker), nothing else.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "qpp-channel.h"
#include "qpp-event.h"
#include "qpp-invoke.h"
#include "qpp-messages.h"
#include "qpp-runner-process.h"
#include "qpp-runtime.h"
#include "qpp-stats.h"

// How long a callback may go on past its budget, or after the instance was
// told to stop, before its runner is ended.
constexpr std::chrono::seconds runner_kill_grace(3);

class qppRunnerMonitor
{
public:
    using clock = std::chrono::steady_clock;

    // One thing the runner is to acknowledge.
    struct InFlight
    {
        enum What : uint8_t { EVENT, SYNC, UNLOAD, LOAD } what;
        uint64_t seq;
        qppStats::Kind kind = qppStats::AGENT;  // EVENT
        size_t flows = 0;                        // EVENT
        std::optional<qdSyncPoint> sync;         // SYNC
        size_t bytes = 0;                        // EVENT: its queue estimate
        // EVENT: counted in the queue's depth and bytes. An event behind
        // another still waits for the script, as it would in the queue;
        // the oldest is the one in hand.
        bool held = false;
    };

    // What the monitor does for the instance.
    struct Instance
    {
        qppStats &stats;
        qppCallObserver &calls;
        qppInstance &instance;           // payloads and the counters
        std::function<void()> wake_worker;
    };

    qppRunnerMonitor(qppChannelMapping &mapping, qppRunnerProcess &process, Instance instance);
    // Stops the thread (it must have ended or the runner be killed first).
    ~qppRunnerMonitor();

    qppRunnerMonitor(const qppRunnerMonitor &) = delete;
    qppRunnerMonitor &operator=(const qppRunnerMonitor &) = delete;

    // Worker: before the message that asks for it goes out.
    void Expect(InFlight item);
    // Worker, once Ended: releases what Finish left of the queue's count.
    static void Release(qppStats &stats, const InFlight &item);
    // Worker: waits until seq has been acknowledged or the runner ended;
    // false when it ended first. Gives up at deadline, with false.
    bool WaitFor(uint64_t seq, clock::time_point deadline = clock::time_point::max());
    // Worker: what the runner answered to the load seq (after WaitFor).
    bool Loaded(uint8_t &mask, std::string &error);

    // Worker: the budget of calls from now on.
    void Configure(std::chrono::nanoseconds budget);
    // Any thread: the instance is being deleted (from at).
    void BeginEnding(clock::time_point at);

    // Any thread: the monitor has seen the runner end (and then ended).
    bool Ended() const { return ended.load(); }
    // Worker, once Ended: waits for the thread; what was left in flight,
    // why the monitor killed the runner (empty if it did not), the call
    // that was running, and whether it was killed for overstaying (the
    // call counts as interrupted then).
    std::deque<InFlight> Finish(std::string &killed_because, uint8_t &running,
        bool &overstayed);

    // Any thread: ends the runner now, for the reason given (the log line
    // of its end says it).
    void Kill(const std::string &why) { KillFor(why); }

private:
    void Run();
    void Handle(const qppUpMessage &m);
    void Acknowledge(const qppUpMessage &m);
    void Reply(qppMessage type, const std::string &body);
    // The next moment the runner must be ended at, if any, and why.
    clock::time_point Deadline(std::string &why);
    void KillFor(const std::string &why, bool overstayed = false);
    // Brings the thread back to its deadlines.
    void Wake();
    // Wakes a runner that waits for room in the up ring, if it does.
    void WakeWriter();

    qppChannelMapping &mapping;
    qppRunnerProcess &process;
    Instance instance;
    qppRingEnd up;
    qppUpReader reader;
    qppFd wake;  // an eventfd that brings the thread back to its deadlines

    mutable std::mutex state_lock;
    std::condition_variable state_cond;       // an acknowledgement, or the end
    std::deque<InFlight> in_flight;           // guarded by state_lock
    uint64_t acknowledged = 0;                // guarded: the last seq
    bool load_ok = false;                     // guarded: the last LOADED
    uint8_t load_mask = 0;                    // guarded
    std::string load_error;                   // guarded
    std::chrono::nanoseconds budget{0};       // guarded
    std::optional<clock::time_point> ending_at;  // guarded
    uint8_t call = 0;                         // guarded: the callback running, 0: none
    clock::time_point call_started;           // guarded
    clock::time_point heard;                  // guarded: the last message, or work given
    std::string killed_because;               // guarded
    bool overstayed = false;                  // guarded
    std::atomic<bool> ended{false};
    std::atomic<bool> stopping{false};
    std::atomic<bool> kill_failed{false};  // said once

    std::thread thread;
};
