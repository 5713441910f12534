#include <cerrno>
#include <chrono>
#include <cstring>
#include <dlfcn.h>

#include <nlohmann/json.hpp>

#include "replay-host.h"

using json = nlohmann::json;

namespace {

std::string Quote(const std::string &text)
{
    // Payloads come from Python str objects and are UTF-8; anything else is
    // shown with replacement characters rather than refused.
    return json(text).dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

qppReplayOutput::qppReplayOutput(const std::string &payload_file, bool keep_payloads)
    : payloads(stdout), payload_name("standard output"), own_file(false),
      keep(keep_payloads)
{
    if (payload_file.empty()) return;
    payload_name = payload_file;
    payloads = fopen(payload_file.c_str(), "w");
    if (payloads == nullptr) {
        throw qppReplaySetupError("cannot write " + payload_file + ": " +
            strerror(errno));
    }
    own_file = true;
}

qppReplayOutput::~qppReplayOutput()
{
    Uninstall();
    if (own_file) fclose(payloads);
}

void qppReplayOutput::Install(
    const std::vector<std::string> &targets, bool accept_any)
{
    qd_set_log_sink([this](const std::string &message) { Log(message); });
    auto sink = [this](const qdSinkPayload &payload) { Payload(payload); };
    if (accept_any)
        qd_sink_register_any(sink);
    else {
        // Only these exist: the host refuses any other target by throwing,
        // and the script's dispatch returns False.
        for (auto &target : targets) qd_sink_register(target, sink);
    }
}

void qppReplayOutput::Uninstall()
{
    qd_set_log_sink(nullptr);
    qd_sink_clear();
}

std::vector<std::string> qppReplayOutput::PayloadLines()
{
    std::lock_guard<std::mutex> guard(lock);
    return lines;
}

std::string qppReplayOutput::FormatPayload(const qdSinkPayload &payload)
{
    std::string channels;
    for (auto &channel : payload.channels)
        channels += (channels.empty() ? "" : ", ") + Quote(channel);
    std::string text(payload.payload.begin(), payload.payload.end());
    return "{\"target\": " + Quote(payload.target) + ", \"channels\": [" +
        channels + "], \"flags\": " + std::to_string(payload.flags) +
        ", \"payload\": " + Quote(text) + "}";
}

std::string qppReplayOutput::Failure()
{
    std::lock_guard<std::mutex> guard(lock);
    return failure;
}

void qppReplayOutput::Write(FILE *file, const std::string &name, const std::string &text)
{
    if (fwrite(text.data(), 1, text.size(), file) == text.size() && fflush(file) == 0)
        return;
    if (failure.empty()) failure = "cannot write " + name + ": " + strerror(errno);
    clearerr(file);
}

void qppReplayOutput::Log(const std::string &message)
{
    std::lock_guard<std::mutex> guard(lock);
    Write(stdout, "standard output", message);
}

void qppReplayOutput::Payload(const qdSinkPayload &payload)
{
    std::string line = FormatPayload(payload);
    std::lock_guard<std::mutex> guard(lock);
    if (keep) lines.push_back(line);
    line += '\n';
    Write(payloads, payload_name, line);
}

qppReplayHost::qppReplayHost(const std::string &plugin_path)
{
    // As the daemon loads its plugins: every symbol now, none made global.
    handle = dlopen(plugin_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *error = dlerror();
        throw qppReplaySetupError("cannot load the plugin " + plugin_path +
            ": " + (error ? error : "unknown error"));
    }
    init = reinterpret_cast<qdPluginInitFunction>(dlsym(handle, "qdPluginInit"));
    if (init == nullptr) {
        throw qppReplaySetupError(
            plugin_path + " is not a plugin: it has no qdPluginInit");
    }
}

qppReplayHost::~qppReplayHost()
{
    Stop();
    // The library stays loaded: the Python runtime it embeds cannot be
    // unloaded and loaded again within one process.
}

void qppReplayHost::Start(const std::string &tag, const std::string &conf_filename)
{
    qdPlugin *created = nullptr;
    try {
        created = init(tag, {{"conf_filename", conf_filename}});
    }
    catch (const std::exception &e) {
        throw qppReplaySetupError(std::string("the plugin refused to start: ") + e.what());
    }
    if (created == nullptr)
        throw qppReplaySetupError("the plugin refused to start");
    plugin = static_cast<qdPluginProcessor *>(created);
    plugin->Create();
    // The worker's first pass loads configuration and script before it
    // serves anything, the sync point included; events delivered before
    // that would meet an empty subscription mask and be dropped.
    Sync();
}

void qppReplayHost::Sync()
{
    if (plugin == nullptr) return;
    // The sync point must outlive the plugin's use of it: the plugin signals
    // it when served, or when its worker stops, so waiting until then is
    // always safe and always ends.
    qdSyncPoint sync;
    plugin->DispatchEvent(qdPlugin::EVENT_SYNC, &sync);
    // A long wait alone says nothing: a large input takes long to serve.
    // Only counters that stand still for the whole patience mean that one
    // call (or one import) has run that long.
    std::string counters = Stats().dump();
    auto still_since = std::chrono::steady_clock::now();
    bool told = false;
    while (! sync.Wait(std::chrono::milliseconds(250))) {
        std::string now = Stats().dump();
        if (now != counters) {
            counters = now;
            still_since = std::chrono::steady_clock::now();
        }
        else if (! told && std::chrono::steady_clock::now() - still_since >= patience) {
            fprintf(stderr, "qpp-replay: still waiting for the plugin; "
                "is a script callback blocked?\n");
            told = true;
        }
    }
}

json qppReplayHost::Stats()
{
    if (plugin == nullptr) return final_stats;
    json stats;
    plugin->DispatchEvent(qdPlugin::EVENT_STATS, &stats);
    return stats;
}

void qppReplayHost::Reload()
{
    if (plugin != nullptr) plugin->DispatchEvent(qdPlugin::EVENT_RELOAD);
}

void qppReplayHost::Stop()
{
    if (plugin == nullptr) return;
    Sync();
    plugin->Terminate();
    // The worker notices the terminate flag after its current wait for
    // events, which may last a second; one more sync point wakes it at once,
    // and it is signalled whether it is served or left behind.
    Sync();
    // The unload notice may still be running; once the worker has ended,
    // its counters are final.
    plugin->Join();
    final_stats = Stats();
    delete plugin;
    plugin = nullptr;
}
