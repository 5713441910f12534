// A one-shot signal between a host thread and a plugin: the host waits,
// the plugin signals. Used with qdPlugin::EVENT_SYNC to learn when a plugin
// has caught up with the events delivered to it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class qdSyncPoint
{
public:
    void Signal()
    {
        std::lock_guard<std::mutex> guard(lock);
        signalled = true;
        cond.notify_all();
    }

    bool Wait(std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> guard(lock);
        return cond.wait_for(guard, timeout, [this] { return signalled; });
    }

private:
    std::mutex lock;
    std::condition_variable cond;
    bool signalled = false;
};
