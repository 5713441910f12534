// Reading the configuration file (see qpp-configuration.h).

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

#include "qpp-configuration.h"
#include "qpp-fd.h"
#include "quivend.h"

namespace {

// The configuration file's whole content; throws with the system's message
// for whatever went wrong, opening or reading.
std::string ReadConfiguration(const std::string &filename)
{
    qppFd fd(open(filename.c_str(), O_RDONLY | O_CLOEXEC));
    if (! fd) {
        throw qdException("error loading configuration: %s: %s",
            filename.c_str(), strerror(errno));
    }
    std::string content;
    char buffer[4096];
    for (;;) {
        ssize_t got = read(fd.Get(), buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            throw qdException("error loading configuration: %s: %s",
                filename.c_str(), strerror(errno));
        }
        if (got == 0) break;
        content.append(buffer, static_cast<size_t>(got));
    }
    return content;
}

// The JSON library's message without the tag it starts with
// ("[json.exception.parse_error.101] "), which names the library's own
// error class and says nothing to the person who wrote the file.
std::string JsonReason(const nlohmann::json::exception &e)
{
    std::string what = e.what();
    size_t end = what.find("] ");
    if (what.rfind("[json.exception.", 0) == 0 && end != std::string::npos)
        return what.substr(end + 2);
    return what;
}

// Everything from the last dot of the file name on is the extension.
std::string BaseName(const std::string &path)
{
    std::string base;
    qd_basename(path, base);
    size_t dot = base.find_last_of('.');
    return (dot == std::string::npos) ? base : base.substr(0, dot);
}

}  // namespace

nlohmann::json qppConfiguration::Load(const std::string &filename)
{
    std::string content = ReadConfiguration(filename);

    nlohmann::json conf;
    try {
        // Stream extraction reads the first complete JSON value only.
        std::istringstream stream(content);
        stream >> conf;
    }
    catch (const nlohmann::json::exception &e) {
        throw qdException("error loading configuration: %s: JSON exception: %s",
            filename.c_str(), JsonReason(e).c_str());
    }
    catch (const std::exception &e) {
        throw qdException("error loading configuration: %s: %s",
            filename.c_str(), e.what());
    }
    return conf;
}

bool qppConfiguration::Debug(const nlohmann::json &conf)
{
    if (! conf.is_object()) return false;
    auto it = conf.find("debug");
    return it != conf.end() && it->is_boolean() && it->get<bool>();
}

uint64_t qppConfiguration::QueueBound(const nlohmann::json &conf, const char *key,
    const std::string &filename, uint64_t fallback)
{
    if (! conf.is_object()) return fallback;
    auto it = conf.find(key);
    if (it == conf.end() || it->is_null()) return fallback;
    if (! it->is_number_unsigned()) {
        throw qdException("error loading configuration: %s: %s must be a "
                          "non-negative integer.",
            filename.c_str(), key);
    }
    return it->get<uint64_t>();
}

bool qppConfiguration::ProcessIsolation(
    const nlohmann::json &conf, const std::string &filename)
{
    auto it = conf.find("isolation");
    if (it == conf.end() || it->is_null()) return false;
    if (it->is_string() && it->get<std::string>() == "interpreter") return false;
    if (it->is_string() && it->get<std::string>() == "process") return true;
    throw qdException("error loading configuration: %s: isolation must be "
                      "\"interpreter\" or \"process\".",
        filename.c_str());
}

qppRunnerSettings qppConfiguration::Runner(
    const nlohmann::json &conf, const std::string &filename, bool process)
{
    qppRunnerSettings settings;
    for (const char *key : {"user", "group", "memory_limit"}) {
        auto it = conf.find(key);
        if (it == conf.end() || it->is_null()) continue;
        // Who a script runs as is never left to a key that does nothing.
        if (! process) {
            throw qdException("error loading configuration: %s: %s needs "
                              "\"isolation\": \"process\".",
                filename.c_str(), key);
        }
        if (strcmp(key, "memory_limit") == 0) {
            if (! it->is_number_unsigned()) {
                throw qdException("error loading configuration: %s: memory_limit "
                                  "must be a number of bytes, 0 for none.",
                    filename.c_str());
            }
            settings.memory_limit = it->get<uint64_t>();
            continue;
        }
        if (! it->is_string() || it->get<std::string>().empty()) {
            throw qdException("error loading configuration: %s: %s must be the "
                              "name of a %s.",
                filename.c_str(), key, key);
        }
        (strcmp(key, "user") == 0 ? settings.user : settings.group) = it->get<std::string>();
    }
    return settings;
}

std::string qppConfiguration::Script(
    const nlohmann::json &conf, const std::string &filename)
{
    auto script = conf.is_object() ? conf.find("script") : conf.end();
    if (! conf.is_object() || script == conf.end() || ! script->is_string()) {
        throw qdException(
            "error loading configuration: %s: script not found or wrong type.",
            filename.c_str());
    }
    return script->get<std::string>();
}

std::chrono::nanoseconds qppConfiguration::CallbackTimeout(
    const nlohmann::json &conf, const std::string &filename)
{
    auto timeout = conf.find("callback_timeout");
    if (timeout == conf.end() || timeout->is_null())
        return std::chrono::nanoseconds(0);
    if (! timeout->is_number() || ! (timeout->get<double>() > 0)) {
        throw qdException("error loading configuration: %s: callback_timeout "
                          "must be a number of seconds greater than 0, or null.",
            filename.c_str());
    }
    // Beyond a year a budget means none in practice, and the nanosecond
    // count must not overflow.
    double seconds = std::min(timeout->get<double>(), 365.0 * 24 * 3600);
    return std::max(std::chrono::nanoseconds(1),
        std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::duration<double>(seconds)));
}

bool qppConfiguration::CheckPermissions(
    const nlohmann::json &conf, const std::string &filename)
{
    auto check = conf.find("check_permissions");
    if (check == conf.end()) return true;
    if (! check->is_boolean()) {
        // A switch that guards the daemon is never turned off by a typo.
        throw qdException("error loading configuration: %s: check_permissions "
                          "must be true or false.",
            filename.c_str());
    }
    return check->get<bool>();
}

std::string qppConfiguration::ModuleName(const std::string &path)
{
    // Python takes every dot of a module name but the last for a package
    // ("flows.v2" is module v2 of package flows): such a script is never
    // found.
    std::string name = BaseName(path);
    if (name.find('.') != std::string::npos) {
        throw qdException("invalid module name: %s (%s): a dot in a module "
                          "name stands for a package; name the script without "
                          "dots but the one before its extension",
            name.c_str(), path.c_str());
    }
    return name;
}
