// What the benchmarks need of a host, from the host kit: a data directory
// holding their scripts with a configuration for each, and a way to wait
// until a plugin has served what it was given. The benchmarks construct the
// plugin class directly, linked in, so that their floors can call the same
// encoder and interpreter without the queue.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "qpp-data-dir.h"
#include "qpp-hosted-plugin.h"
#include "qpp-plugin.h"

// Copies script_file into the module directory of data_dir as NAME.py and
// writes DATA/NAME.json naming it.
inline void qppBenchAddScript(
    const std::string &data_dir, const std::string &script_file, const std::string &name)
{
    std::string path = data_dir + "/quiven-proc-python/" + name + ".py";
    qppWriteFile(path, qppReadFile(script_file));
    qppWriteFile(data_dir + "/" + name + ".json", "{\"script\": \"" + path + "\"}");
}

// A data directory named after prefix, made the host's, with each
// bench/scripts/NAME.py added. Returns its path; it is removed when the
// process ends.
inline std::string qppBenchDataDir(
    const char *prefix, std::initializer_list<const char *> scripts)
{
    static std::vector<std::unique_ptr<qppDataDir>> made;
    made.push_back(std::make_unique<qppDataDir>(prefix));
    std::string data_dir = made.back()->Path();
    for (std::string script : scripts)
        qppBenchAddScript(data_dir, std::string(QPP_BENCH_DIR) + "/scripts/" + script + ".py", script);
    return data_dir;
}

// True once plugin has served every event and reload request given before.
inline bool qppBenchSync(qdPluginProcessor *plugin)
{
    return qppHostSync(plugin, std::chrono::minutes(5));
}

// An instance running DATA/SCRIPT.json, its first load done. A benchmark
// that cannot start its plugin measures nothing: it ends the process.
inline std::unique_ptr<qppPlugin> qppBenchStart(
    const std::string &data_dir, const std::string &script, const char *tag)
{
    std::unique_ptr<qppPlugin> plugin(new qppPlugin(
        tag, {{"conf_filename", data_dir + "/" + script + ".json"}}));
    plugin->Create();
    if (! qppBenchSync(plugin.get())) {
        fprintf(stderr, "%s: the plugin did not start\n", tag);
        exit(1);
    }
    return plugin;
}

inline void qppBenchStop(std::unique_ptr<qppPlugin> &plugin)
{
    plugin->Terminate();
    qppBenchSync(plugin.get());  // wakes the worker, which then sees the request
    plugin.reset();
}
