#include <dlfcn.h>

#include "qd-sync.h"
#include "qpp-hosted-plugin.h"

using json = nlohmann::json;

qppPluginLibrary::qppPluginLibrary(const std::string &path)
{
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *error = dlerror();
        throw qppHostError("cannot load the plugin " + path + ": " +
            (error ? error : "unknown error"));
    }
    init = reinterpret_cast<qdPluginInitFunction>(dlsym(handle, "qdPluginInit"));
    if (init == nullptr)
        throw qppHostError(path + " is not a plugin: it has no qdPluginInit");
}

qdPluginProcessor *qppPluginLibrary::Create(
    const std::string &tag, const std::map<std::string, std::string> &params) const
{
    return static_cast<qdPluginProcessor *>(init(tag, params));
}

bool qppHostSync(qdPluginProcessor *plugin, std::chrono::milliseconds timeout)
{
    qdSyncPoint sync;
    plugin->DispatchEvent(qdPlugin::EVENT_SYNC, &sync);
    return sync.Wait(timeout);
}

bool qppHostSyncPatiently(qdPluginProcessor *plugin,
    std::chrono::milliseconds patience, const std::function<void()> &stalled,
    const std::function<bool()> &give_up)
{
    qdSyncPoint sync;
    plugin->DispatchEvent(qdPlugin::EVENT_SYNC, &sync);
    std::string counters = qppHostStats(plugin).dump();
    auto still_since = std::chrono::steady_clock::now();
    bool told = false;
    // The counters are compared every fifth turn.
    for (unsigned turn = 1; ! sync.Wait(std::chrono::milliseconds(50)); turn++) {
        if (give_up && give_up()) return false;
        if (turn % 5 != 0) continue;
        std::string now = qppHostStats(plugin).dump();
        if (now != counters) {
            counters = now;
            still_since = std::chrono::steady_clock::now();
        }
        else if (! told && std::chrono::steady_clock::now() - still_since >= patience) {
            if (stalled) stalled();
            told = true;
        }
    }
    return true;
}

json qppHostStats(qdPluginProcessor *plugin)
{
    json stats;
    plugin->DispatchEvent(qdPlugin::EVENT_STATS, &stats);
    return stats;
}

void qppHostStop(qdPluginProcessor *plugin)
{
    if (plugin == nullptr) return;
    plugin->Terminate();
    delete plugin;
}

void qppHostedPlugin::Start(const qppPluginLibrary &library,
    const std::string &tag, const std::string &conf_filename)
{
    qdPluginProcessor *created = nullptr;
    try {
        created = library.Create(tag, {{"conf_filename", conf_filename}});
    }
    catch (const std::exception &e) {
        throw qppHostError(std::string("the plugin refused to start: ") + e.what());
    }
    if (created == nullptr) throw qppHostError("the plugin refused to start");
    plugin = created;
    plugin->Create();
    Sync();
}

void qppHostedPlugin::Sync()
{
    if (plugin != nullptr) qppHostSyncPatiently(plugin, patience, stalled);
}

json qppHostedPlugin::Stats()
{
    return plugin == nullptr ? final_stats : qppHostStats(plugin);
}

void qppHostedPlugin::Reload()
{
    if (plugin != nullptr) plugin->DispatchEvent(qdPlugin::EVENT_RELOAD);
}

void qppHostedPlugin::Stop()
{
    if (plugin == nullptr) return;
    Sync();
    plugin->Terminate();
    // The worker notices the terminate flag after its current wait for
    // events; one more sync point wakes it at once, and it is signalled
    // whether it is served or left behind.
    Sync();
    // The unload notice may still be running; once the worker has ended,
    // its counters are final.
    plugin->Join();
    final_stats = qppHostStats(plugin);
    delete plugin;
    plugin = nullptr;
}
