// The daemon's part in a replay: loading the plugin, waiting for it to
// catch up, stopping it, and writing what it logs and dispatches.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "qd-sink.h"
#include "qpp-hosted-plugin.h"
#include "quivend.h"

// Failures of the set-up, worded for the user (no line of input involved);
// the host kit's own failures are of this kind.
using qppReplaySetupError = qppHostError;

// Standard output carries the host log and, unless they go to a file of
// their own, the payload lines; one mutex keeps lines whole and in the order
// in which they were written. Every line is written and flushed as it
// comes; the first write that fails is remembered, so that the run can fail
// rather than lose lines silently.
class qppReplayOutput
{
public:
    // payload_file: where payload lines go; empty for standard output.
    // keep_payloads: keep the payload lines for PayloadLines too (only a
    // comparison needs them; a long run would hold them all).
    qppReplayOutput(const std::string &payload_file, bool keep_payloads);
    ~qppReplayOutput();

    qppReplayOutput(const qppReplayOutput &) = delete;
    qppReplayOutput &operator=(const qppReplayOutput &) = delete;

    // Installs the log sink and the sinks: one per target in targets, or a
    // catch-all one when accept_any. Until Uninstall.
    void Install(const std::vector<std::string> &targets, bool accept_any);
    void Uninstall();

    // The payload lines written so far, when kept.
    std::vector<std::string> PayloadLines();

    // What the first failed write said ("cannot write FILE: REASON"); empty
    // while every write succeeded.
    std::string Failure();
    // Whether a write failed: cheap enough to ask for every packet.
    bool Failed() const { return failed.load(); }

    // One payload as its output line (without the line end).
    static std::string FormatPayload(const qdSinkPayload &payload);

private:
    void Log(const std::string &message);
    void Payload(const qdSinkPayload &payload);

    // Writes text to file and flushes it; records the first failure.
    void Write(FILE *file, const std::string &name, const std::string &text);

    std::mutex lock;
    FILE *payloads;  // guarded by lock; stdout or a file of ours
    std::string payload_name;  // for messages
    bool own_file;
    bool keep;
    std::vector<std::string> lines;  // guarded by lock
    std::string failure;  // guarded by lock
    std::atomic<bool> failed{false};  // set with failure
};

// One plugin instance, loaded and driven as the daemon does by the host
// kit, with the tool's hint when a callback seems blocked.
class qppReplayHost
{
public:
    // Loads the plugin library and resolves its factory.
    explicit qppReplayHost(const std::string &plugin_path);

    // Factory, then the worker; returns once the first load is done.
    void Start(const std::string &tag, const std::string &conf_filename)
    {
        instance.Start(library, tag, conf_filename);
    }
    // Returns once the plugin has served every event and reload request
    // delivered so far.
    void Sync() { instance.Sync(); }
    void Reload() { instance.Reload(); }
    // Serves what is still queued, then terminates and deletes the plugin;
    // the unload notice is the last thing its script sees.
    void Stop() { instance.Stop(); }

    // The plugin's own counters (null when it keeps none): as they are now
    // while it runs, and as its worker left them once it has been stopped.
    nlohmann::json Stats() { return instance.Stats(); }

    // How long Sync waits while the plugin makes no progress before it
    // suggests that a callback is blocked.
    void SetPatience(std::chrono::milliseconds patience);

    qdPluginProcessor *Plugin() const { return instance.Plugin(); }

private:
    qppPluginLibrary library;
    qppHostedPlugin instance;
};
