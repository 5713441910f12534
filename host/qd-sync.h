// A one-shot signal between a host thread and a plugin: the host waits,
// the plugin signals. Used with qdPlugin::EVENT_SYNC to learn when a plugin
// has caught up with the events delivered to it.
//
// Copies share one signal, and its state lives as long as any copy does:
// a plugin keeps a copy of the sync point it is handed, so the host may
// destroy its own at any time, after a Wait that timed out too. Signal and
// Wait may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

class qdSyncPoint
{
public:
    qdSyncPoint() : state(std::make_shared<State>()) { }

    void Signal() const
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->signalled = true;
        state->cond.notify_all();
    }

    bool Wait(std::chrono::milliseconds timeout) const
    {
        std::unique_lock<std::mutex> guard(state->lock);
        return state->cond.wait_for(
            guard, timeout, [this] { return state->signalled; });
    }

private:
    struct State
    {
        std::mutex lock;
        std::condition_variable cond;
        bool signalled = false;  // guarded by lock
    };

    std::shared_ptr<State> state;
};
