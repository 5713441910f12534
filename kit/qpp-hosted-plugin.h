// Playing the daemon towards one plugin: the plugin library loaded as the
// daemon loads it (dlopen with every symbol bound now and none made
// global, then its factory), an instance started on its worker, events
// and requests delivered through the host's interface, and the waits that
// tell a host when the plugin has caught up.
//
// A qppHostedPlugin is driven by one host thread; the events it delivers
// may come from any number of threads, as in the daemon.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "quivend.h"

// What went wrong while loading or starting a plugin, worded for a user.
class qppHostError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The plugin's shared library and its factory. The library stays loaded
// when the object goes: the Python runtime it embeds cannot be unloaded and
// loaded again within one process.
class qppPluginLibrary
{
public:
    explicit qppPluginLibrary(const std::string &path);

    // The factory as the daemon calls it: null when it refuses, and what it
    // throws passes through.
    qdPluginProcessor *Create(
        const std::string &tag, const std::map<std::string, std::string> &params) const;

private:
    qdPluginInitFunction init = nullptr;
};

// Returns once plugin has served every event and request delivered before
// the call, or false when timeout passes first. The sync point is shared
// with the plugin, which signals it when served or when its worker stops,
// so returning early is always safe.
bool qppHostSync(qdPluginProcessor *plugin, std::chrono::milliseconds timeout);

// Waits as qppHostSync does, for as long as it takes, or until give_up
// (when given; asked every 50 ms) returns true: then it returns false. A
// long wait alone says nothing (a large input takes long to serve): only the
// plugin's counters standing still for patience mean that one call or
// import has run that long; then stalled is called, once.
bool qppHostSyncPatiently(qdPluginProcessor *plugin,
    std::chrono::milliseconds patience, const std::function<void()> &stalled,
    const std::function<bool()> &give_up = nullptr);

// The plugin's own counters, answered on the calling thread; null when it
// keeps none.
nlohmann::json qppHostStats(qdPluginProcessor *plugin);

// Ends an instance as the daemon does: terminate, then delete, which joins
// the worker after the script's unload notice.
void qppHostStop(qdPluginProcessor *plugin);

// One instance from factory to deletion, serving everything it was given.
class qppHostedPlugin
{
public:
    qppHostedPlugin() = default;
    ~qppHostedPlugin() { Stop(); }

    qppHostedPlugin(const qppHostedPlugin &) = delete;
    qppHostedPlugin &operator=(const qppHostedPlugin &) = delete;

    // Factory, then the worker; returns once the first load is done: the
    // worker loads configuration and script before it serves anything, so
    // events delivered earlier would meet an empty subscription mask.
    void Start(const qppPluginLibrary &library, const std::string &tag,
        const std::string &conf_filename);
    // As qppHostSyncPatiently, with the patience and stalled set below.
    void Sync();
    void Reload();
    // Serves what is still queued, then stops the worker (the unload notice
    // is the last thing the script sees) and deletes the plugin.
    void Stop();

    // The counters as they are now while it runs, and as its worker left
    // them once it has been stopped.
    nlohmann::json Stats();

    void SetPatience(std::chrono::milliseconds patience, std::function<void()> stalled)
    {
        this->patience = patience;
        this->stalled = std::move(stalled);
    }

    qdPluginProcessor *Plugin() const { return plugin; }

private:
    qdPluginProcessor *plugin = nullptr;
    nlohmann::json final_stats;
    std::chrono::milliseconds patience{10000};
    std::function<void()> stalled;
};
