// What the benchmarks need of a host, from the host kit: a data directory
// holding their scripts with a configuration for each, and a way to wait
// until a plugin has served what it was given. The benchmarks construct the
// plugin class directly, linked in, so that their floors can call the same
// encoder and interpreter without the queue.
#pragma once

#include <chrono>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "qpp-data-dir.h"
#include "qpp-hosted-plugin.h"

// A data directory named after prefix, made the host's, with each
// bench/scripts/NAME.py in its module directory and DATA/NAME.json naming
// it. Returns its path; it is removed when the process ends.
inline std::string qppBenchDataDir(
    const char *prefix, std::initializer_list<const char *> scripts)
{
    static std::vector<std::unique_ptr<qppDataDir>> made;
    made.push_back(std::make_unique<qppDataDir>(prefix));
    qppDataDir &data = *made.back();
    for (std::string script : scripts) {
        std::string path = data.InstallScript(
            std::string(QPP_BENCH_DIR) + "/scripts/" + script + ".py");
        data.WriteConf("{\"script\": \"" + path + "\"}", script);
    }
    return data.Path();
}

// True once plugin has served every event and reload request given before.
inline bool qppBenchSync(qdPluginProcessor *plugin)
{
    return qppHostSync(plugin, std::chrono::minutes(5));
}
