// qppConfiguration: reading an instance's configuration file, a JSON
// object naming the script and its settings. Worker thread (at each
// reload); no state.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

// Reading the configuration file. Each function throws qdException with
// the message the operator sees, naming the file.
namespace qppConfiguration {

// The first JSON value in the file.
nlohmann::json Load(const std::string &filename);
// "debug": true only for the boolean true.
bool Debug(const nlohmann::json &conf);
// A bound of the queue: absent, null or 0 for none, else a positive count.
uint64_t QueueBound(const nlohmann::json &conf, const char *key,
    const std::string &filename);
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
