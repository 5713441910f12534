// The plugin class linked into a benchmark and constructed directly, so
// that its floors can call the same encoder and interpreter without the
// queue. Such a program never loads the built plugin too: two copies of the
// plugin would bring up two Python runtimes in one process. Its instances
// run their scripts in sub-interpreters (a script runner is found beside
// the plugin library, which a linked plugin is not).
#pragma once

#include <memory>

#include "bench-host.h"
#include "qpp-plugin.h"

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
