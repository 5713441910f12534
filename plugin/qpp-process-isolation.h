// qppProcessIsolation: the script in a script runner, a process of its own
// (qpp-runner), so that any Python module works in any number of
// instances, a fault below Python ends only the runner, and each instance
// has its own interpreter lock.
//
// It owns the runner that serves now, if any: the channel (a sealed memfd,
// mapped), the process, and its monitor thread (qpp-runner-monitor.h).
// The worker writes the down ring: each event as a message with its flows'
// records, read under each flow's mutex and nothing else, a sync point or
// the unload notice as messages of their own; it does not wait for them
// to be served (the monitor counts them as their acknowledgements come),
// but for a load's answer. A runner that ends is taken in by the worker
// (the monitor wakes it): what was in flight and what is queued is
// dropped and counted, the end is logged once, and the runner is started
// again after a pause that doubles while runners keep ending (1 s to a
// minute), with the script loaded afresh.
//
// Threads. Everything but BeginEnding is the worker's. runner_lock guards
// the runner's replacement against BeginEnding, from the host thread that
// deletes the instance; it is held only for a moment.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "qpp-channel.h"
#include "qpp-isolation.h"
#include "qpp-runner-monitor.h"
#include "qpp-runner-process.h"

class qppProcessIsolation : public qppIsolation
{
public:
    // What the isolation needs of its instance besides the counters.
    struct Instance
    {
        qppStats &stats;
        std::atomic<uint8_t> &mask;  // where the bound callbacks are published
        qppCallObserver &calls;
        qppInstance &instance;       // payloads and the counters, for the runner
        std::function<void()> wake_worker;
        // Drops what waits in the event queue; returns how many events.
        std::function<size_t()> drop_queued;
    };

    explicit qppProcessIsolation(Instance instance);
    ~qppProcessIsolation() override;

    bool Unchanged(const qppScriptLoad &load) const override;
    void Configure(std::chrono::nanoseconds budget, const std::string &tag) override;
    void Load(const qppScriptLoad &load) override;
    void Serve(qppEvent &&event, uint8_t selected) override;
    void Sync(const qdSyncPoint &sync) override;
    void Unload() override;
    void Idle() override;
    void Flush() override;
    bool NeedsWorker() const override;
    void BeginEnding() override;

private:
    struct Runner;

    void Start(const qppRunnerSettings &settings);
    // Sends the load and waits for its answer; throws qdException.
    void SendLoad(const qppScriptLoad &load);
    // Takes in a runner that ended: counts, logs, schedules its restart.
    void TakeEnd();
    // The end of a runner that was asked to end: no restart, a log line
    // only when it did not end well.
    void Stop();
    // Writes bytes to the down ring, waiting for room; false once the
    // runner has ended (or broke the ring). The runner is not woken for
    // them until Flush: a worker with more events queued hands over a few
    // before the runner, if it sleeps, pays for a wake-up.
    bool Write(const void *bytes, size_t n);
    bool Write(const std::string &bytes) { return Write(bytes.data(), bytes.size()); }
    // Write and Flush, for what the runner should see at once.
    bool Send(const std::string &bytes);
    bool WriteRecord(const qppFlowRecordView &record);
    uint64_t NextSeq() { return ++seq; }

    Instance instance;
    std::string runner_path;
    std::mutex runner_lock;
    std::unique_ptr<Runner> runner;  // written under runner_lock by the worker

    std::string tag;
    std::chrono::nanoseconds budget{0};
    uint64_t seq = 0;
    unsigned unflushed = 0;  // events written since the last Flush
    // The script to load into every runner, once one was asked for.
    std::optional<qppScriptLoad> wanted;
    bool loaded = false;  // the current runner loaded wanted
    qppFlowRecord record;

    // Restarts: when the next may be, and the pause after the one after.
    std::chrono::steady_clock::time_point restart_at;
    std::chrono::seconds pause{1};
    std::chrono::steady_clock::time_point started_at;

    std::atomic<bool> ending{false};
    std::chrono::steady_clock::time_point ending_at;  // set before ending
};
