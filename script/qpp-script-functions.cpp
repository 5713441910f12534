// Binding the script's callbacks by their fixed names.

#include "qpp-plugin.h"

bool qppPlugin::LoadScriptFunction(ScriptFunction id)
{
    auto name = script_function_names.find(id);
    if (name == script_function_names.end()) {
        throw qdException(
            "invalid script function ID: %hhu", static_cast<unsigned char>(id));
    }

    qppPyRef function = qppPyRef::Steal(
        PyObject_GetAttrString(script_module.get(), name->second.c_str()));
    if (! function) {
        // Not defining a callback is how a script opts out of its events.
        PyErr_Clear();
        qd_dprintf("%s: %s: %s: not defined.\n", tag.c_str(),
            script_path.c_str(), name->second.c_str());
        return false;
    }

    if (! PyCallable_Check(function.get())) {
        qd_dprintf("%s: %s: %s: not callable.\n", tag.c_str(),
            script_path.c_str(), name->second.c_str());
        return false;
    }

    // The entry exists before its bit is set: host threads that see the bit
    // queue events that the worker can then serve.
    script_functions[id] = std::move(function);
    script_function_mask |= id;
    return true;
}
