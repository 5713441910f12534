// The worker thread: loads the script when asked, serves queued events one
// at a time, and tells the script when it is unloaded.

#include <chrono>

#include "qpp-plugin.h"

namespace {

// How often the worker writes its statistics to the host's debug log.
constexpr std::chrono::seconds statistics_interval(60);

// The worker outlives whatever a bad configuration, a broken script or an
// argument that cannot be built throws at it: the failure is logged and
// the event in hand is dropped.
// True when work returned normally.
template <typename F>
bool RunLoggingFailure(const std::string &tag, F &&work)
{
    try {
        work();
        return true;
    }
    catch (const std::exception &e) {
        qd_printf("%s: %s\n", tag.c_str(), e.what());
    }
    return false;
}

}  // namespace

void *qppPlugin::Entry()
{
    qd_printf("%s: %s v%s %s\n", tag.c_str(), QPP_PLUGIN_NAME,
        QPP_PLUGIN_VERSION, "(scripts run in an embedded Python)");

    PrepareWorkerThread();
    qppRuntime::AddInstance(this);

    if (! ShouldTerminate()) ServeEvents();

    RunLoggingFailure(tag, [this] { isolation->Unload(); });

    queue.Close();
    qppRuntime::RemoveInstance();
    return nullptr;
}

void qppPlugin::ServeEvents()
{
    auto next_statistics = std::chrono::steady_clock::now() + statistics_interval;
    for (;;) {
        ServeReload();

        // Woken at once by an event, a reload request or termination; the
        // deadline is only the longest sleep.
        std::optional<qppEvent> event = queue.Pop(
            std::chrono::steady_clock::now() + std::chrono::seconds(1),
            [this] { return ShouldTerminate() || isolation->NeedsWorker(); },
            [this] { isolation->Flush(); });

        if (! event) {
            isolation->Idle();
        }
        else if (event->prv == qppEvent::PRV_SYNC) {
            // A host that asks for a reload and then syncs learns when
            // the reload is done: a request made before the sync point
            // is served before it is signalled.
            ServeReload();
            isolation->Sync(*event->sync);
        }
        else {
            CallScriptFunction(std::move(*event));
        }

        if (std::chrono::steady_clock::now() >= next_statistics) {
            LogStatistics();
            next_statistics += statistics_interval;
        }

        if (ShouldTerminate()) break;
    }
}

void qppPlugin::CallScriptFunction(qppEvent &&event)
{
    uint8_t selected = qppSelectCallbacks(
        event.prv, event.event, script_function_mask.load(), tag);
    if (selected == 0) {
        qppCount(stats.events[event.Kind()].unhandled);
        return;
    }
    isolation->Serve(std::move(event), selected);
}

void qppPlugin::LogStatistics()
{
    qd_dprintf("%s: statistics: %s\n", tag.c_str(), Statistics().dump().c_str());
}

void qppPlugin::ServeReload()
{
    // The request is taken before Reload reads the configuration: one made
    // while Reload runs may concern a file it has already read, and is
    // served by the next pass.
    if (! queue.TakeReloadRequest()) return;
    if (! RunLoggingFailure(tag, [this] { Reload(); }))
        qppCount(stats.reloads_failed);
}
