// The script's Python objects: import, binding, and teardown inside its
// sub-interpreter (see qpp-script.h).

#include <climits>
#include <cstdlib>
#include <cstring>

#include "qpp-script.h"
#include "quivend.h"

namespace {

const char *const callback_names[] = {
    "ProcessAgentEvent", "ProcessFlowEvent", "ProcessFlowMap", "ProcessFlowStats"};

// The slot of the callback whose bit is id; -1 for none.
int Slot(uint8_t id)
{
    for (int slot = 0; slot < 4; slot++) {
        if (id == (1u << slot)) return slot;
    }
    return -1;
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

}  // namespace

const char *qppScript::CallbackName(uint8_t id)
{
    int slot = Slot(id);
    return slot < 0 ? nullptr : callback_names[slot];
}

void qppScript::Prepare()
{
    if (run_exit_handlers) return;
    qppPyRef atexit = qppPyRef::Steal(PyImport_ImportModule("atexit"));
    qppPyRef gc = qppPyRef::Steal(PyImport_ImportModule("gc"));
    if (atexit)
        run_exit_handlers =
            qppPyRef::Steal(PyObject_GetAttrString(atexit.get(), "_run_exitfuncs"));
    if (gc) collect_garbage = qppPyRef::Steal(PyObject_GetAttrString(gc.get(), "collect"));
    if (! run_exit_handlers || ! collect_garbage) {
        qppPrintPythonError();
        run_exit_handlers.reset();
        collect_garbage.reset();
        throw qdException("error preparing the interpreter: atexit or gc missing");
    }
}

bool qppScript::Unchanged(const uint8_t digest[20]) const
{
    return memcmp(digest, script_digest, sizeof(script_digest)) == 0;
}

void qppScript::ForgetDigest() { memset(script_digest, 0, sizeof(script_digest)); }

void qppScript::Forget()
{
    Unbind();
    ForgetDigest();
    if (! module) return;
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    PyObject *cached = PyDict_GetItemString(modules, module_name.c_str());  // borrowed
    if (cached == module.get() && PyDict_DelItemString(modules, module_name.c_str()) < 0)
        PyErr_Clear();
    module.reset();
    module_name.clear();
}

void qppScript::ForgetCallbacks()
{
    Unbind();
    // Every name, bound or not: the script may have been unbound before
    // (Unbind) with its callbacks still defined.
    for (const char *name : callback_names) {
        if (module && PyObject_SetAttrString(module.get(), name, nullptr) < 0)
            PyErr_Clear();
    }
}

void qppScript::Unbind()
{
    for (qppPyRef &function : functions) function.reset();
    subscriptions.exchange(0);
}

void qppScript::AddModuleDirectory(const std::string &dir)
{
    // Looked for at every reload, not once: a script may have taken it
    // out of the list (or emptied it), and every later import, of a
    // fixed script too, would fail without it.
    PyObject *sys_path = PySys_GetObject("path");  // borrowed
    if (sys_path == nullptr || ! PyList_Check(sys_path))
        throw qdException("error getting Python module paths");
    qppPyRef py_dir = qppPyRef::Steal(PyUnicode_DecodeFSDefaultAndSize(
        dir.data(), static_cast<Py_ssize_t>(dir.size())));
    int present = py_dir ? PySequence_Contains(sys_path, py_dir.get()) : -1;
    if (present < 0 ||
        (present == 0 && PyList_Append(sys_path, py_dir.get()) < 0)) {
        qppPrintPythonError();
        throw qdException("error getting Python module paths");
    }
    // Whatever was loaded from it is the script's, to be torn down
    // before the interpreter ends.
    module_directories.insert(dir);
}

void qppScript::Import(const std::string &name, const std::string &path,
    const uint8_t digest[20], const std::string &tag)
{
    script_path = path;
    memcpy(script_digest, digest, sizeof(script_digest));

    // A failed import forgets the digest, so that the next request tries
    // again even when the script itself did not change (a helper module it
    // imports may have been added meanwhile).
    auto failed = [this]() {
        module.reset();
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
    if (! module || name != module_name) {
        module.reset();
        PyObject *cached = PyDict_GetItemWithError(
            PyImport_GetModuleDict(), py_name.get());  // borrowed
        if (cached == nullptr)
            PyErr_Clear();
        else if (RealPath(ModuleOrigin(cached)) == RealPath(script_path))
            module = qppPyRef::Borrow(cached);
    }

    if (module) {
        qd_dprintf("%s: reloading module: %s (%s)\n", tag.c_str(), name.c_str(),
            script_path.c_str());
        module = qppPyRef::Steal(PyImport_ReloadModule(module.get()));
    }
    else {
        qd_dprintf("%s: importing module: %s (%s)\n", tag.c_str(), name.c_str(),
            script_path.c_str());
        module = qppPyRef::Steal(PyImport_Import(py_name.get()));
    }
    py_name.reset();

    if (! module) {
        qppPrintPythonError();
        failed();
        throw qdException("error importing/reloading module: %s (%s)",
            name.c_str(), script_path.c_str());
    }

    // Another module of the same name earlier on the search path (one of
    // the standard library's, say) must not stand in for the script.
    std::string origin = ModuleOrigin(module.get());
    if (RealPath(origin) != RealPath(script_path)) {
        failed();
        throw qdException("error importing/reloading module: %s (%s): found %s instead",
            name.c_str(), script_path.c_str(), origin.c_str());
    }

    module_name = name;
}

void qppScript::Load(const std::string &name, const std::string &path,
    const uint8_t digest[20], const std::string &module_dir, const std::string &tag)
{
    Prepare();
    ForgetCallbacks();
    AddModuleDirectory(module_dir);
    Import(name, path, digest, tag);
    for (Callback id : {ProcessAgentEvent, ProcessFlowEvent, ProcessFlowMap, ProcessFlowStats}) {
        if (Bind(id, name))
            qd_dprintf("%s: callback function loaded: %s\n", name.c_str(), CallbackName(id));
    }
    subscriptions |= loaded;
}

bool qppScript::Bind(uint8_t id, const std::string &tag)
{
    int slot = Slot(id);
    if (slot < 0) {
        throw qdException(
            "invalid script function ID: %hhu", static_cast<unsigned char>(id));
    }
    const char *name = callback_names[slot];

    qppPyRef function =
        qppPyRef::Steal(PyObject_GetAttrString(module.get(), name));
    if (! function) {
        // Not defining a callback is how a script opts out of its events.
        PyErr_Clear();
        qd_dprintf("%s: %s: %s: not defined.\n", tag.c_str(),
            script_path.c_str(), name);
        return false;
    }

    if (! PyCallable_Check(function.get())) {
        qd_dprintf("%s: %s: %s: not callable.\n", tag.c_str(),
            script_path.c_str(), name);
        return false;
    }

    // The entry exists before its bit is set: host threads that see the bit
    // queue events that the worker can then serve.
    functions[slot] = std::move(function);
    subscriptions |= id;
    return true;
}

PyObject *qppScript::Function(Callback id) const
{
    int slot = Slot(id);
    return slot < 0 ? nullptr : functions[slot].get();
}

bool qppScript::Teardown(PyInterpreterState *interp, PyThreadState *idle,
    std::chrono::steady_clock::duration wait)
{
    // Ending an interpreter while a thread that its script started still
    // runs aborts the process (and waits forever for a non-daemon thread).
    //
    // Py_EndInterpreter itself runs script code after its last wait for
    // threads: the atexit handlers, and the __del__ methods of what the
    // script's modules hold when it tears them down. A thread started
    // there aborts the process ("not the last thread") or runs in a half
    // torn-down interpreter. Both are run here, while the interpreter is
    // whole, each followed by a wait.
    Release();
    ForgetFailedImports();
    auto deadline = std::chrono::steady_clock::now() + wait;
    bool ended = qppWaitForOtherThreads(interp, idle, deadline);
    if (ended) {
        RunExitHandlers();
        ended = qppWaitForOtherThreads(interp, idle, deadline);
    }
    if (ended) {
        ClearModules();
        ended = qppWaitForOtherThreads(interp, idle, deadline);
    }
    // Ours, and of this interpreter, whether or not it can be ended.
    run_exit_handlers.reset();
    collect_garbage.reset();
    return ended;
}

void qppScript::Release()
{
    for (qppPyRef &function : functions) function.reset();
    module.reset();
    encoder.Reset();
}

void qppScript::ForgetFailedImports()
{
    // A package whose import failed is taken out of sys.modules, but the
    // submodules it had imported by then stay, half of a package that no
    // longer exists (an extension module that refuses a second
    // interpreter leaves its own state broken besides). Nothing can use
    // them; they go before anything else is torn down, so that no step of
    // the teardown finds them.
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    qppPyRef names = qppPyRef::Steal(PyDict_Keys(modules));
    if (! names) {
        qppPrintPythonError();
        return;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); i++) {
        PyObject *name = PyList_GET_ITEM(names.get(), i);  // borrowed
        if (! PyUnicode_Check(name)) continue;
        Py_ssize_t dot = PyUnicode_FindChar(name, '.', 0, PyUnicode_GET_LENGTH(name), -1);
        if (dot <= 0) {
            PyErr_Clear();
            continue;
        }
        qppPyRef parent = qppPyRef::Steal(PyUnicode_Substring(name, 0, dot));
        if (! parent) {
            PyErr_Clear();
            continue;
        }
        int present = PyDict_Contains(modules, parent.get());
        if (present == 0 && PyDict_DelItem(modules, name) < 0) present = -1;
        if (present < 0) PyErr_Clear();
    }
}

void qppScript::RunExitHandlers()
{
    // Runs and forgets the handlers, so that Py_EndInterpreter finds none.
    // Never prepared: no script code ever ran here.
    if (! run_exit_handlers) return;
    qppPyRef rc = qppPyRef::Steal(PyObject_CallObject(run_exit_handlers.get(), nullptr));
    if (! rc) qppPrintPythonError();
}

void qppScript::ClearModules()
{
    // The modules loaded from the module directories: the script and its
    // helpers. Each is taken out of sys.modules and its names deleted last
    // first, so that an object dies while what was defined before it (the
    // modules it imported, say) is still there for its __del__.
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    qppPyRef names = qppPyRef::Steal(PyDict_Keys(modules));
    if (! names) {
        qppPrintPythonError();
        return;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); i++) {
        PyObject *name = PyList_GET_ITEM(names.get(), i);  // borrowed
        qppPyRef loaded = qppPyRef::Borrow(PyDict_GetItemWithError(modules, name));
        if (! loaded || ! PyModule_Check(loaded.get())) {
            PyErr_Clear();
            continue;
        }
        qppPyRef file = qppPyRef::Steal(
            PyObject_GetAttrString(loaded.get(), "__file__"));
        qppPyRef bytes;
        if (file && PyUnicode_Check(file.get()))
            bytes = qppPyRef::Steal(PyUnicode_EncodeFSDefault(file.get()));
        if (! bytes || ! PyBytes_Check(bytes.get())) {
            PyErr_Clear();
            continue;
        }
        std::string path(PyBytes_AS_STRING(bytes.get()),
            static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
        bool ours = false;
        for (const std::string &dir : module_directories) {
            if (path.compare(0, dir.size() + 1, dir + "/") == 0) ours = true;
        }
        if (! ours) continue;

        if (PyDict_DelItem(modules, name) < 0) PyErr_Clear();
        PyObject *dict = PyModule_GetDict(loaded.get());  // borrowed
        qppPyRef keys = qppPyRef::Steal(PyDict_Keys(dict));
        if (! keys) {
            qppPrintPythonError();
            continue;
        }
        for (Py_ssize_t k = PyList_GET_SIZE(keys.get()) - 1; k >= 0; k--) {
            PyObject *key = PyList_GET_ITEM(keys.get(), k);  // borrowed
            if (PyUnicode_Check(key) &&
                PyUnicode_CompareWithASCIIString(key, "__builtins__") == 0)
                continue;
            // A __del__ may have deleted it already.
            if (PyDict_DelItem(dict, key) < 0) PyErr_Clear();
            // What a __del__ raised is reported and ignored by CPython.
        }
    }

    // What the modules held in reference cycles.
    if (! collect_garbage) return;
    qppPyRef rc = qppPyRef::Steal(PyObject_CallObject(collect_garbage.get(), nullptr));
    if (! rc) qppPrintPythonError();
}
