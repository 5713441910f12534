// Reloading: reading the configuration, and (re)importing the script when
// it changed.

#include <cstring>

#include "qpp-configuration.h"
#include "qpp-permissions.h"
#include "qpp-plugin.h"

namespace {

const char *module_subdirectory = "/quiven-proc-python";

}  // namespace

void qppPlugin::Reload()
{
    qd_dprintf("%s: Loading configuration: %s\n", tag.c_str(),
        conf_filename.c_str());

    nlohmann::json conf = qppConfiguration::Load(conf_filename);

    debug = qppConfiguration::Debug(conf);
    queue.SetBound(
        qppConfiguration::QueueBound(conf, "queue_max_events", conf_filename),
        qppConfiguration::QueueBound(conf, "queue_max_bytes", conf_filename));

    std::string written_path = qppConfiguration::Script(conf, conf_filename);

    // In force at once, also when the script is unchanged.
    std::chrono::nanoseconds budget =
        qppConfiguration::CallbackTimeout(conf, conf_filename);
    bool check_permissions =
        qppConfiguration::CheckPermissions(conf, conf_filename);
    watchdog.Configure(budget, tag);

    std::string path;
    qd_expand_variables(written_path, path, qdGlobalConfig::GetInstance().conf_vars);

    // Refused before anything of the loaded script changes.
    std::string name = qppConfiguration::ModuleName(path);

    uint8_t digest[20];
    if (qd_sha1_file(path, digest) < 0)
        throw qdException("error hashing script: %s", path.c_str());

    if (script.Unchanged(digest)) {
        qd_dprintf("%s: %s: not reloading, no change.\n", tag.c_str(),
            path.c_str());
        qppCount(stats.reloads_unchanged);
        return;
    }

    std::string module_dir =
        qdGlobalConfig::GetInstance().path_state_persistent + module_subdirectory;
    // Checked before the loaded script is told anything: a refused script
    // leaves the instance as it was, and is checked again at the next
    // request (its digest is not kept).
    if (check_permissions) qppCheckScriptPermissions(path, module_dir);

    CallScriptFunction(qppEvent(qppEvent::PRV_UNLOAD, 0));

    qppPySubInterpreter::thread_scope scope(interpreter->GetInterpreterState());

    script.ForgetCallbacks();
    script.AddModuleDirectory(module_dir);
    script.Import(name, path, digest, tag);

    qppCount(stats.reloads_done);
    SetTag(name);
    SetProcName();
    watchdog.Configure(budget, tag);

    for (ScriptFunction id : {qppScript::ProcessAgentEvent,
             qppScript::ProcessFlowEvent, qppScript::ProcessFlowMap,
             qppScript::ProcessFlowStats}) {
        if (LoadScriptFunction(id)) {
            qd_dprintf("%s: callback function loaded: %s\n", tag.c_str(),
                qppScript::CallbackName(id));
        }
    }
    script.MarkLoaded();
}

bool qppPlugin::LoadScriptFunction(ScriptFunction id)
{
    return script.Bind(id, tag);
}
