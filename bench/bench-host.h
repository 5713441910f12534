// What the benchmarks need of a host: a data directory holding their
// scripts with a configuration for each, and a way to wait until a plugin
// has served what it was given.
#pragma once

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <string>
#include <sys/stat.h>

#include "qd-sync.h"
#include "qpp-plugin.h"

// Makes a temporary data directory, copies bench/scripts/NAME.py into its
// module directory and writes DATA/NAME.json naming it, for each name; sets
// the host's data directory. Returns the data directory.
inline std::string qppBenchDataDir(
    const char *prefix, std::initializer_list<const char *> scripts)
{
    std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
    std::string data_dir = mkdtemp(&pattern[0]);
    std::string modules = data_dir + "/quiven-proc-python";
    mkdir(modules.c_str(), 0755);
    qdGlobalConfig::GetInstance().path_state_persistent = data_dir;
    for (std::string script : scripts) {
        std::ifstream in(std::string(QPP_BENCH_DIR) + "/scripts/" + script + ".py");
        std::ofstream out(modules + "/" + script + ".py");
        out << in.rdbuf();
        std::ofstream conf(data_dir + "/" + script + ".json");
        conf << "{\"script\": \"" << modules << "/" << script << ".py\"}";
    }
    return data_dir;
}

// True once plugin has served every event and reload request given before.
inline bool qppBenchSync(qppPlugin *plugin)
{
    qdSyncPoint sync;
    plugin->DispatchEvent(qdPlugin::EVENT_SYNC, &sync);
    return sync.Wait(std::chrono::minutes(5));
}
