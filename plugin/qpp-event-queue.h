// qppEventQueue: the records host threads hand to one instance's worker,
// and everything that wakes the worker.
//
// It owns the queued records (events), the queue's bound, the reload
// request, and whether the worker has stopped serving (worker_done). It is
// the only place where records are pushed and popped.
//
// Threads. Host threads push (Push, PushSync), request reloads and wake
// the worker for termination; the worker pops, takes reload requests and
// closes the queue when it stops; the host thread that deletes the
// instance closes it too, for a worker that never ran. A hook builds its
// record completely, flow snapshots included, before it pushes: the
// snapshot takes a flow's mutex, which is never waited for under
// event_lock (see the lock order in qpp-plugin.h).
//
// Counting. stats' queue depth and bytes change under event_lock, but
// for the events a script runner holds in flight (qpp-runner-monitor.h);
// the events a hook's subscription filters out never reach the queue and
// are counted by the hook.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "qpp-event.h"
#include "qpp-stats.h"
#include "quivend.h"

class qppEventQueue
{
public:
    explicit qppEventQueue(qppStats &stats) : stats(stats) { }

    qppEventQueue(const qppEventQueue &) = delete;
    qppEventQueue &operator=(const qppEventQueue &) = delete;

    // Worker thread, at each reload: the most records and bytes queued at
    // once; 0 means no bound.
    void SetBound(uint64_t max_events, uint64_t max_bytes);

    // Host threads: queues a finished record, or counts it as dropped when
    // the queue is full or the worker has stopped.
    void Push(qppEvent &&event);

    // Host threads: queues a sync point that the worker signals once it has
    // served everything queued before it; signalled at once when the worker
    // has stopped.
    void PushSync(const qdSyncPoint &sync);

    // Host threads: asks the worker to reload and wakes it.
    void RequestReload();
    // Worker thread: true once per request made since the last call.
    bool TakeReloadRequest() { return reload.exchange(false); }

    // Wakes the worker without queuing anything, for a flag it tests when
    // woken (termination). Under event_lock, so that a worker that tested
    // the flag and is about to wait cannot miss the signal.
    void Wake();

    // Worker thread: waits until a record is queued, a reload is requested,
    // stopping() is true, or the deadline passes; then takes the first
    // record if there is one. drained() runs once, without the lock,
    // before the first wait: nothing was queued then.
    template <typename Stopping, typename Drained>
    std::optional<qppEvent> Pop(std::chrono::steady_clock::time_point deadline,
        Stopping &&stopping, Drained &&drained)
    {
        std::unique_lock<std::mutex> guard(event_lock);
        bool told = false;
        while (events.empty() && ! reload.load() && ! stopping()) {
            if (! told) {
                told = true;
                guard.unlock();
                drained();
                guard.lock();
                continue;
            }
            if (event_cond.wait_until(guard, deadline) ==
                std::cv_status::timeout)
                break;
        }
        if (events.empty()) return std::nullopt;
        return TakeFirstLocked();
    }

    // Worker: drops the events queued (not the sync points, which keep
    // their places), counting them; how many.
    size_t DropQueued();

    // The worker has stopped serving: records left are never served (a
    // waiting sync point is signalled, an event counted as dropped) and
    // whatever arrives later is refused. Any thread; more than once is
    // harmless.
    void Close();

private:
    qppEvent TakeFirstLocked();

    qppStats &stats;

    // A reload was requested and not yet taken. Set when made: the first
    // pass of the worker loads the script.
    std::atomic<bool> reload{true};

    std::mutex event_lock;
    std::condition_variable event_cond;  // one signal per queued record
    std::deque<qppEvent> events;         // guarded by event_lock
    bool worker_done = false;            // guarded by event_lock
};
