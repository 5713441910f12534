// The scratch data directory of a replay. The plugin runs on copies: its
// configuration, its module directory and its script live in a temporary
// directory of the tool's, so that a reload line, which replaces the
// configured script, never writes a file of the user's, and a killed run
// leaves the user's files as they were. The directory and everything in it
// are removed by Remove, or when the object dies. The object is the main
// thread's; Remove may also be called, once, from the thread that ends the
// process on a second interrupt. Nothing is copied or linked that the
// plugin would refuse to run from the user's own files (replay-trust.h):
// the copies themselves would pass its check.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "qpp-fd.h"
#include "replay-trust.h"

// What the configuration of the run says about the time budget of a
// callback call: as the user asked, or the tool's default.
struct qppReplayBudget
{
    // Seconds; 0 for none. Given: from the command line, which overrides a
    // configuration's own value; otherwise the default, which a
    // configuration's own value overrides.
    double seconds = 10;
    bool given = false;
};

// The bound of the plugin's queue that the run's configuration sets
// ("queue_max_events", "queue_max_bytes"): as the user asked, or the tool's
// default, so that a run's memory stays bounded however slow its script.
struct qppReplayQueueBound
{
    // 0 for none. Given: from the command line, which overrides a
    // configuration's own value; otherwise the default, which a
    // configuration's own value overrides.
    uint64_t events = 16384;
    uint64_t bytes = 64 << 20;
    bool events_given = false;
    bool bytes_given = false;
};

// Where the run's script runs ("isolation"): as the user asked, or the
// tool's default (a sub-interpreter, or a script runner for a live
// capture), which a configuration's own value overrides.
struct qppReplayIsolation
{
    std::string value = "interpreter";
    bool given = false;
};

class qppReplayScratch
{
public:
    // --script: the script is copied into the module directory under its
    // own file name, so that it is imported by that name; every other entry
    // of its directory is linked beside it, so that helper modules import
    // as they would from the daemon's module directory. Throws
    // qppReplayRefused when the script or anything linked would be refused
    // by the plugin's check, the script's directory taking the place of the
    // module directory.
    static std::unique_ptr<qppReplayScratch> ForScript(const std::string &script,
        const std::map<std::string, std::string> &vars, const qppReplayBudget &budget,
        const qppReplayQueueBound &bound, const qppReplayIsolation &isolation);

    // --conf and --data-dir: the configuration is copied (with the budget
    // added), the module directory of data_dir is copied, and the script
    // that the configuration names (expanded with vars, as the plugin
    // will) is copied to the same place under the scratch data directory.
    // Throws qppReplayRefused as ForScript does, unless the configuration
    // turns the plugin's check off.
    static std::unique_ptr<qppReplayScratch> ForConf(const std::string &conf,
        const std::string &data_dir, const std::map<std::string, std::string> &vars,
        const qppReplayBudget &budget, const qppReplayQueueBound &bound,
        const qppReplayIsolation &isolation);

    ~qppReplayScratch();
    qppReplayScratch(const qppReplayScratch &) = delete;
    qppReplayScratch &operator=(const qppReplayScratch &) = delete;

    // The data directory and configuration to give the plugin.
    const std::string &DataDir() const { return data_dir; }
    const std::string &Conf() const { return conf; }
    // The budget the run's configuration sets, in seconds; none when it sets
    // none (or when the configuration is not one the tool can read).
    std::optional<double> Budget() const { return budget; }
    // The queue bound the run's configuration sets, 0 where it sets none
    // (or when the configuration is not one the tool can read).
    uint64_t QueueMaxEvents() const { return queue_max_events; }
    uint64_t QueueMaxBytes() const { return queue_max_bytes; }
    // The run's configuration puts the script in a script runner.
    bool RunsInRunner() const { return runner; }
    // What the run reads of the user's files, and how it is judged.
    const qppReplayTrust &Trust() const { return *trust; }

    // Removes the directory and everything in it; returns what went wrong
    // (empty when it is gone). Later calls do nothing.
    std::string Remove();

private:
    qppReplayScratch();

    // Writes the run's configuration, document, naming script; vars are the
    // host variables of the run.
    void WriteConf(nlohmann::ordered_json &document, const std::string &script,
        const std::map<std::string, std::string> &vars);

    std::mutex removal;  // one removal at a time; guards root
    std::string root;
    // Descriptors held back for the removal, which must work even when a
    // script has taken every other one.
    qppFd reserve[2];
    std::string data_dir;
    std::string conf;
    std::optional<double> budget;
    uint64_t queue_max_events = 0;
    uint64_t queue_max_bytes = 0;
    bool runner = false;
    std::unique_ptr<qppReplayTrust> trust;
};

// The script file that a configuration names, as the plugin finds it: its
// "script" member with the host variables expanded. Empty with a reason in
// why when the configuration does not say.
std::string qppReplayConfiguredScript(const std::string &conf,
    const std::map<std::string, std::string> &vars, std::string &why);

// The directory part of a path ("." for a bare name), and the last part.
std::string qppReplayDirName(const std::string &path);
std::string qppReplayBaseName(const std::string &path);

bool qppReplayReadFile(const std::string &path, std::string &content);
bool qppReplayWriteFile(const std::string &path, const std::string &content);
