// Reloading: reading the configuration, and (re)importing the script when
// it changed.

#include <cstring>

#include "qpp-configuration.h"
#include "qpp-permissions.h"
#include "qpp-plugin.h"

namespace {

const char *module_subdirectory = "/quiven-proc-python";

// The queue's bound in bytes when the configuration sets none: far above
// what ordinary use queues, below what takes a machine's memory.
constexpr uint64_t queue_max_bytes_default = uint64_t(1) << 30;

}  // namespace

void qppPlugin::Reload()
{
    qd_dprintf("%s: Loading configuration: %s\n", tag.c_str(),
        conf_filename.c_str());

    nlohmann::json conf = qppConfiguration::Load(conf_filename);

    debug = qppConfiguration::Debug(conf);
    queue.SetBound(
        qppConfiguration::QueueBound(conf, "queue_max_events", conf_filename),
        qppConfiguration::QueueBound(
            conf, "queue_max_bytes", conf_filename, queue_max_bytes_default));

    std::string written_path = qppConfiguration::Script(conf, conf_filename);

    // In force at once, also when the script is unchanged.
    std::chrono::nanoseconds budget =
        qppConfiguration::CallbackTimeout(conf, conf_filename);
    qppScriptLoad load;
    load.check_permissions = qppConfiguration::CheckPermissions(conf, conf_filename);
    bool process = qppConfiguration::ProcessIsolation(conf, conf_filename);
    load.runner = qppConfiguration::Runner(conf, conf_filename, process);
    qppIsolation *next = process ? process_isolation.get() : interpreter_isolation.get();
    isolation->Configure(budget, tag);

    qd_expand_variables(written_path, load.path, qdGlobalConfig::GetInstance().conf_vars);

    // Refused before anything of the loaded script changes.
    load.name = qppConfiguration::ModuleName(load.path);

    if (qd_sha1_file(load.path, load.digest) < 0)
        throw qdException("error hashing script: %s", load.path.c_str());

    if (next == isolation && isolation->Unchanged(load)) {
        qd_dprintf("%s: %s: not reloading, no change.\n", tag.c_str(),
            load.path.c_str());
        qppCount(stats.reloads_unchanged);
        return;
    }

    load.module_dir =
        qdGlobalConfig::GetInstance().path_state_persistent + module_subdirectory;
    // Checked before the loaded script is told anything: a refused script
    // leaves the instance as it was, and is checked again at the next
    // request (its digest is not kept).
    if (load.check_permissions) qppCheckScriptPermissions(load.path, load.module_dir);

    // The script that ran the other way is told first, and ends there.
    if (next != isolation) {
        isolation->Leave();
        isolation = next;
        isolation->Configure(budget, tag);
    }

    load.tag = tag;
    isolation->Load(load);

    qppCount(stats.reloads_done);
    SetTag(load.name);
    SetProcName();
    isolation->Configure(budget, tag);
}
