// What the benchmarks need of a host, from the host kit: a data directory
// holding their scripts with a configuration for each, a way to wait until
// a plugin has served what it was given, and the built plugin loaded as the
// daemon loads it. (bench-linked.h: the plugin class linked in instead.)
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "qpp-data-dir.h"
#include "qpp-hosted-plugin.h"

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

// A TLS flow of the kind the daemon sees most, on iface (a new one when
// none is given).
inline std::shared_ptr<qdFlow> qppBenchFlow(
    long n, std::shared_ptr<qdInterface> iface = nullptr)
{
    if (! iface) iface = std::make_shared<qdInterface>("eth0", 0);
    auto flow = std::make_shared<qdFlow>(std::move(iface));
    flow->ip_version = 4;
    flow->ip_protocol = 6;
    qdAddr::Create(flow->lower_mac, "02:00:00:00:00:01");
    qdAddr::Create(flow->upper_mac, "02:00:00:00:00:02");
    qdAddr::Create(flow->lower_addr, "192.168.1.10", static_cast<uint16_t>(1024 + n % 60000));
    qdAddr::Create(flow->upper_addr, "93.184.216.34", 443);
    flow->master_protocol = qdFlow::PROTO_TLS;
    flow->detected_protocol = qdFlow::PROTO_TLS;
    flow->detected_protocol_name = "TLS";
    flow->detected_application_name = "example";
    flow->host_server_name = "www.example.com";
    flow->tls.version = 0x0304;
    flow->tls.cipher_suite = 0x1301;
    flow->tls.alpn = {"h2", "http/1.1"};
    flow->tls.alpn_server = {"h2"};
    flow->digest_mdata.push_back(qdDigest{});
    flow->risks = {15, 27};
    flow->flags.detection_init = true;
    flow->stats.lower_bytes = 123456;
    flow->stats.total_packets = 42;
    return flow;
}

// Resident memory of this process, in bytes.
inline double qppBenchResident()
{
    std::ifstream statm("/proc/self/statm");
    double pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * 4096;
}

#ifdef QPP_PLUGIN_PATH
// The built plugin library, loaded as the daemon loads it: with the script
// runner beside it, which a plugin linked into the benchmark would not
// find. Only a benchmark program that links none of the plugin is given
// its path.
inline const qppPluginLibrary &qppBenchLibrary()
{
    static qppPluginLibrary library(QPP_PLUGIN_PATH);
    return library;
}

// An instance of the loaded plugin running DATA/SCRIPT.py in isolation
// ("interpreter" or "process"), its first load done; ends the process
// when it cannot start.
inline qdPluginProcessor *qppBenchLoad(const std::string &data_dir, const std::string &script,
    const char *tag, const std::string &isolation)
{
    std::string conf = data_dir + "/" + script + "." + isolation + ".json";
    qppWriteFile(conf, "{\"script\": \"" + data_dir + "/quiven-proc-python/" + script +
            ".py\", \"isolation\": \"" + isolation + "\"}");
    qdPluginProcessor *plugin = qppBenchLibrary().Create(tag, {{"conf_filename", conf}});
    if (plugin != nullptr) plugin->Create();
    if (plugin == nullptr || ! qppBenchSync(plugin)) {
        fprintf(stderr, "%s: the plugin did not start\n", tag);
        exit(1);
    }
    return plugin;
}
#endif
