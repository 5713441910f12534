#include "qpp-event-queue.h"

void qppEventQueue::SetBound(uint64_t max_events, uint64_t max_bytes)
{
    stats.queue_max_events = max_events;
    stats.queue_max_bytes = max_bytes;
}

void qppEventQueue::Push(qppEvent &&event)
{
    qppStats::Kind kind = event.Kind();
    size_t flows = event.flows.size();
    size_t bytes = event.Bytes();
    uint64_t max_events = stats.queue_max_events.load(std::memory_order_relaxed);
    uint64_t max_bytes = stats.queue_max_bytes.load(std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> guard(event_lock);
        // A full queue drops what arrives: the daemon's threads must not
        // wait for a slow script, nor its memory grow without end. Nothing
        // is served once the worker has stopped.
        bool full = worker_done ||
            (max_events != 0 &&
                stats.queue_depth.load(std::memory_order_relaxed) >= max_events) ||
            (max_bytes != 0 &&
                stats.queue_bytes.load(std::memory_order_relaxed) + bytes >
                    max_bytes);
        if (! full) {
            events.push_back(std::move(event));
            stats.Queued(kind, flows, bytes);
            event_cond.notify_one();
            return;
        }
    }
    stats.Dropped(kind, flows);
}

void qppEventQueue::PushSync(const qdSyncPoint &sync)
{
    std::lock_guard<std::mutex> guard(event_lock);
    if (worker_done) {
        sync.Signal();
        return;
    }
    // Not bounded and not counted: a sync point carries no work, and a
    // host waiting on one must learn when the queue has drained.
    qppEvent record(qppEvent::PRV_SYNC, 0);
    record.sync = sync;
    events.push_back(std::move(record));
    event_cond.notify_one();
}

void qppEventQueue::RequestReload()
{
    std::lock_guard<std::mutex> guard(event_lock);
    reload = true;
    event_cond.notify_one();
}

void qppEventQueue::Wake()
{
    std::lock_guard<std::mutex> guard(event_lock);
    event_cond.notify_one();
}

qppEvent qppEventQueue::TakeFirstLocked()
{
    qppEvent event = std::move(events.front());
    events.pop_front();
    if (event.prv != qppEvent::PRV_SYNC) stats.Dequeued(event.Bytes());
    return event;
}

size_t qppEventQueue::DropQueued()
{
    std::lock_guard<std::mutex> guard(event_lock);
    size_t dropped = 0;
    std::deque<qppEvent> kept;
    for (auto &event : events) {
        if (event.prv == qppEvent::PRV_SYNC) {
            kept.push_back(std::move(event));
            continue;
        }
        stats.Dequeued(event.Bytes());
        stats.Dropped(event.Kind(), event.flows.size());
        dropped++;
    }
    events.swap(kept);
    return dropped;
}

void qppEventQueue::Close()
{
    std::lock_guard<std::mutex> guard(event_lock);
    worker_done = true;
    for (auto &event : events) {
        if (event.prv == qppEvent::PRV_SYNC) {
            event.sync->Signal();
            continue;
        }
        stats.Dequeued(event.Bytes());
        stats.Dropped(event.Kind(), event.flows.size());
    }
    events.clear();
}
