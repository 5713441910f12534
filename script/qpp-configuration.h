// qppConfiguration: reading an instance's configuration file, a JSON
// object naming the script and its settings. Worker thread (at each
// reload); no state.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

// Who the script runner runs as and what it may use; process isolation only.
struct qppRunnerSettings
{
    // Applied when the daemon runs as root: the user, its group and its
    // supplementary groups.
    std::string user = "nobody";
    std::string group;       // empty: the user's own group
    uint64_t memory_limit = 0;  // bytes of data the runner may allocate; 0: none

    bool operator==(const qppRunnerSettings &other) const
    {
        return user == other.user && group == other.group &&
            memory_limit == other.memory_limit;
    }
};

// Reading the configuration file. Each function throws qdException with
// the message the operator sees, naming the file.
namespace qppConfiguration {

// The first JSON value in the file.
nlohmann::json Load(const std::string &filename);
// "debug": true only for the boolean true.
bool Debug(const nlohmann::json &conf);
// A bound of the queue: 0 for none, else a positive count; absent or null
// gives fallback.
uint64_t QueueBound(const nlohmann::json &conf, const char *key,
    const std::string &filename, uint64_t fallback = 0);
// "isolation": true for "process", false for "interpreter" (or none).
bool ProcessIsolation(const nlohmann::json &conf, const std::string &filename);
// The script runner's "user", "group" and "memory_limit"; refused unless
// the isolation is a process's.
qppRunnerSettings Runner(const nlohmann::json &conf, const std::string &filename,
    bool process);
// "script": the path as written; throws when absent or not a string.
std::string Script(const nlohmann::json &conf, const std::string &filename);
// The callback budget; zero when it sets none. Throws for a value that is
// not a positive number or null.
std::chrono::nanoseconds CallbackTimeout(
    const nlohmann::json &conf, const std::string &filename);
// "check_permissions" (default true); throws for a value that is not a
// boolean.
bool CheckPermissions(const nlohmann::json &conf, const std::string &filename);
// The module name of the script at path: its file name without the
// extension. Throws for a name Python would take for a package's.
std::string ModuleName(const std::string &path);

}  // namespace qppConfiguration
