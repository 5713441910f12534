// Reading the configuration and (re)importing the script when it changed.

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "qpp-permissions.h"
#include "qpp-plugin.h"

namespace {

const char *module_subdirectory = "/quiven-proc-python";

// The configuration file's whole content; throws with the system's message
// for whatever went wrong, opening or reading.
std::string ReadConfiguration(const std::string &filename)
{
    int fd = open(filename.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw qdException("error loading configuration: %s: %s",
            filename.c_str(), strerror(errno));
    }
    std::string content;
    char buffer[4096];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            int error = errno;
            close(fd);
            throw qdException("error loading configuration: %s: %s",
                filename.c_str(), strerror(error));
        }
        if (got == 0) break;
        content.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
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
std::string ModuleName(const std::string &path)
{
    std::string base;
    qd_basename(path, base);
    size_t dot = base.find_last_of('.');
    return (dot == std::string::npos) ? base : base.substr(0, dot);
}

std::string RealPath(const std::string &path)
{
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) return path;
    return resolved;
}

// Where the module object came from: its file, or what its import record
// says of a module without one (a built-in, a namespace package).
std::string ModuleOrigin(PyObject *module)
{
    for (const char *attribute : {"__file__", "__spec__"}) {
        qppPyRef value =
            qppPyRef::Steal(PyObject_GetAttrString(module, attribute));
        if (! value) {
            PyErr_Clear();
            continue;
        }
        if (strcmp(attribute, "__spec__") == 0 && value.get() != Py_None) {
            value = qppPyRef::Steal(PyObject_GetAttrString(value.get(), "origin"));
            if (! value) {
                PyErr_Clear();
                continue;
            }
        }
        if (! PyUnicode_Check(value.get())) continue;
        // Back in the file system's encoding, which gives the path's own
        // bytes: the interpreter decoded them with it, and any byte it could
        // not decode (all above 127 when the host never set a locale, as
        // then the encoding is ASCII) is a surrogate escape that UTF-8
        // refuses to encode.
        qppPyRef bytes = qppPyRef::Steal(PyUnicode_EncodeFSDefault(value.get()));
        if (bytes && PyBytes_Check(bytes.get())) {
            return std::string(PyBytes_AS_STRING(bytes.get()),
                static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
        }
        PyErr_Clear();
    }
    return "an unknown location";
}

// Finders cache directory listings; a helper module added to the module
// directory since the last import must be found all the same. This is what
// importlib.invalidate_caches() does for the path finders (a directory
// that had no finder gets another chance), without what it does besides
// from 3.13 on: importing importlib.metadata (email, zipfile, csv and more)
// into every interpreter for the finders of installed distributions, which
// the plugin never uses. That import alone grows the process by about
// 400 KiB for every instance made and deleted.
void InvalidateImportCaches()
{
    PyObject *cache = PySys_GetObject("path_importer_cache");  // borrowed
    if (cache == nullptr || ! PyDict_Check(cache)) return;
    qppPyRef entries = qppPyRef::Steal(PyDict_Items(cache));
    if (! entries) {
        qppPrintPythonError();
        return;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); i++) {
        PyObject *entry = PyList_GET_ITEM(entries.get(), i);  // borrowed
        PyObject *path = PyTuple_GET_ITEM(entry, 0);        // borrowed
        PyObject *finder = PyTuple_GET_ITEM(entry, 1);      // borrowed
        if (finder == Py_None) {
            if (PyDict_DelItem(cache, path) < 0) PyErr_Clear();
            continue;
        }
        if (! PyObject_HasAttrString(finder, "invalidate_caches")) continue;
        qppPyRef rc = qppPyRef::Steal(
            PyObject_CallMethod(finder, "invalidate_caches", nullptr));
        if (! rc) qppPrintPythonError();
    }
}

// A bound of the queue: absent, null or 0 for none, else a positive count.
uint64_t QueueBound(const nlohmann::json &conf, const char *key,
    const std::string &filename)
{
    if (! conf.is_object()) return 0;
    auto it = conf.find(key);
    if (it == conf.end() || it->is_null()) return 0;
    if (! it->is_number_unsigned()) {
        throw qdException("error loading configuration: %s: %s must be a "
                          "non-negative integer.",
            filename.c_str(), key);
    }
    return it->get<uint64_t>();
}

}  // namespace

std::chrono::nanoseconds qppPlugin::CallbackTimeout(const nlohmann::json &conf)
{
    auto timeout = conf.find("callback_timeout");
    if (timeout == conf.end() || timeout->is_null())
        return std::chrono::nanoseconds(0);
    if (! timeout->is_number() || ! (timeout->get<double>() > 0)) {
        throw qdException("error loading configuration: %s: callback_timeout "
                          "must be a number of seconds greater than 0, or null.",
            conf_filename.c_str());
    }
    // Beyond a year a budget means none in practice, and the nanosecond
    // count must not overflow.
    double seconds = std::min(timeout->get<double>(), 365.0 * 24 * 3600);
    return std::max(std::chrono::nanoseconds(1),
        std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::duration<double>(seconds)));
}

bool qppPlugin::CheckPermissions(const nlohmann::json &conf)
{
    auto check = conf.find("check_permissions");
    if (check == conf.end()) return true;
    if (! check->is_boolean()) {
        // A switch that guards the daemon is never turned off by a typo.
        throw qdException("error loading configuration: %s: check_permissions "
                          "must be true or false.",
            conf_filename.c_str());
    }
    return check->get<bool>();
}

void qppPlugin::Reload()
{
    qd_dprintf("%s: Loading configuration: %s\n", tag.c_str(),
        conf_filename.c_str());

    std::string content = ReadConfiguration(conf_filename);

    nlohmann::json conf;
    try {
        // Stream extraction reads the first complete JSON value only.
        std::istringstream stream(content);
        stream >> conf;
    }
    catch (const nlohmann::json::exception &e) {
        throw qdException("error loading configuration: %s: JSON exception: %s",
            conf_filename.c_str(), JsonReason(e).c_str());
    }
    catch (const std::exception &e) {
        throw qdException("error loading configuration: %s: %s",
            conf_filename.c_str(), e.what());
    }

    debug = false;
    if (conf.is_object()) {
        auto it = conf.find("debug");
        if (it != conf.end() && it->is_boolean()) debug = it->get<bool>();
    }

    queue.SetBound(QueueBound(conf, "queue_max_events", conf_filename),
        QueueBound(conf, "queue_max_bytes", conf_filename));

    auto script = conf.is_object() ? conf.find("script") : conf.end();
    if (! conf.is_object() || script == conf.end() || ! script->is_string()) {
        throw qdException(
            "error loading configuration: %s: script not found or wrong type.",
            conf_filename.c_str());
    }

    // In force at once, also when the script is unchanged.
    std::chrono::nanoseconds budget = CallbackTimeout(conf);
    bool check_permissions = CheckPermissions(conf);
    watchdog.Configure(budget, tag);

    std::string path;
    qd_expand_variables(script->get<std::string>(), path,
        qdGlobalConfig::GetInstance().conf_vars);

    // Python takes every dot of a module name but the last for a package
    // ("flows.v2" is module v2 of package flows): such a script is never
    // found. Refused before anything of the loaded script changes.
    std::string name = ModuleName(path);
    if (name.find('.') != std::string::npos) {
        throw qdException("invalid module name: %s (%s): a dot in a module "
                          "name stands for a package; name the script without "
                          "dots but the one before its extension",
            name.c_str(), path.c_str());
    }

    uint8_t digest[20];
    if (qd_sha1_file(path, digest) < 0)
        throw qdException("error hashing script: %s", path.c_str());

    if (memcmp(digest, script_digest, sizeof(script_digest)) == 0) {
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

    // A re-import runs the script in the module's existing namespace: the
    // callbacks are deleted first so that one the new version no longer
    // defines is not found again.
    for (auto &entry : script_functions) {
        entry.second.reset();
        if (script_module &&
            PyObject_SetAttrString(script_module.get(),
                script_function_names.at(entry.first).c_str(), nullptr) < 0)
            PyErr_Clear();
    }
    script_functions.clear();
    script_function_mask.exchange(0);

    {
        // Looked for at every reload, not once: a script may have taken it
        // out of the list (or emptied it), and every later import, of a
        // fixed script too, would fail without it.
        PyObject *sys_path = PySys_GetObject("path");  // borrowed
        if (sys_path == nullptr || ! PyList_Check(sys_path))
            throw qdException("error getting Python module paths");
        qppPyRef dir = qppPyRef::Steal(PyUnicode_DecodeFSDefaultAndSize(
            module_dir.data(), static_cast<Py_ssize_t>(module_dir.size())));
        int present = dir ? PySequence_Contains(sys_path, dir.get()) : -1;
        if (present < 0 ||
            (present == 0 && PyList_Append(sys_path, dir.get()) < 0)) {
            qppPrintPythonError();
            throw qdException("error getting Python module paths");
        }
        // Whatever was loaded from it is the script's, to be torn down
        // before the interpreter ends.
        module_paths.insert(module_dir);
    }

    script_path = path;
    memcpy(script_digest, digest, sizeof(script_digest));

    // A failed import forgets the digest, so that the next request tries
    // again even when the script itself did not change (a helper module it
    // imports may have been added meanwhile).
    auto failed = [this]() {
        script_module.reset();
        memset(script_digest, 0, sizeof(script_digest));
    };

    qppPyRef py_name = qppPyRef::Steal(PyUnicode_DecodeFSDefaultAndSize(
        name.data(), static_cast<Py_ssize_t>(name.size())));
    if (! py_name) {
        PyErr_Clear();
        memset(script_digest, 0, sizeof(script_digest));
        throw qdException("invalid module name: %s", name.c_str());
    }

    InvalidateImportCaches();
    // A re-import goes through the importlib package, which lives on the
    // standard library's search path: imported now, while the path is
    // whole, it stays at hand for a later reload of a script that emptied
    // sys.path.
    qppPyRef importlib = qppPyRef::Steal(PyImport_ImportModule("importlib"));
    if (! importlib) qppPrintPythonError();

    // The module imported first is re-executed only while the configuration
    // names the same module; another name is a first import of its own.
    // A first import of a module that this interpreter still holds from the
    // same file (after a failed re-import, or when a configuration names it
    // again) re-executes it too: importing would return the stale module.
    if (! script_module || name != script_module_name) {
        script_module.reset();
        PyObject *cached = PyDict_GetItemWithError(
            PyImport_GetModuleDict(), py_name.get());  // borrowed
        if (cached == nullptr)
            PyErr_Clear();
        else if (RealPath(ModuleOrigin(cached)) == RealPath(script_path))
            script_module = qppPyRef::Borrow(cached);
    }

    if (script_module) {
        qd_dprintf("%s: reloading module: %s (%s)\n", tag.c_str(), name.c_str(),
            script_path.c_str());
        script_module =
            qppPyRef::Steal(PyImport_ReloadModule(script_module.get()));
    }
    else {
        qd_dprintf("%s: importing module: %s (%s)\n", tag.c_str(), name.c_str(),
            script_path.c_str());
        script_module = qppPyRef::Steal(PyImport_Import(py_name.get()));
    }
    py_name.reset();

    if (! script_module) {
        qppPrintPythonError();
        failed();
        throw qdException("error importing/reloading module: %s (%s)",
            name.c_str(), script_path.c_str());
    }

    // Another module of the same name earlier on the search path (one of
    // the standard library's, say) must not stand in for the script.
    std::string origin = ModuleOrigin(script_module.get());
    if (RealPath(origin) != RealPath(script_path)) {
        failed();
        throw qdException("error importing/reloading module: %s (%s): found %s instead",
            name.c_str(), script_path.c_str(), origin.c_str());
    }

    script_module_name = name;
    qppCount(stats.reloads_done);
    SetTag(name);
    SetProcName();
    watchdog.Configure(budget, tag);

    for (ScriptFunction id : {ProcessAgentEvent, ProcessFlowEvent,
             ProcessFlowMap, ProcessFlowStats}) {
        if (LoadScriptFunction(id)) {
            qd_dprintf("%s: callback function loaded: %s\n", tag.c_str(),
                script_function_names.at(id).c_str());
        }
    }
    script_function_mask |= script_loaded;
}
