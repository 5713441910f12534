// The process-wide runtime shared by all instances, and the registry of
// worker threads.
//
// The runtime is brought up by the first instance and stays up when the
// last one goes: finalising and initialising CPython again in one process
// leaks on every version and crashes 3.12 once datetime, decimal or asyncio
// have been imported, and a daemon that re-creates its plugins (on its own
// reload, say) would do exactly that. The runtime is finalised when the
// library is unloaded, which the link option -z nodelete defers to the end
// of the process, so that the interpreter never holds pointers into an
// unmapped plugin.

#include <cstring>
#include <dlfcn.h>

#include "qpp-module.h"
#include "qpp-plugin.h"

std::mutex qppPlugin::plock;
uint32_t qppPlugin::pinit = 0;
PyThreadState *qppPlugin::pts_main = nullptr;
std::unordered_map<std::thread::id, qppPlugin *> qppPlugin::instances;
bool qppPlugin::runtime_up = false;
bool qppPlugin::runtime_pinned = false;
std::string qppPlugin::runtime_tag;

namespace {

// A host may load this plugin with RTLD_LOCAL, which keeps libpython's
// symbols out of the global scope. The standard library's C extension
// modules (_json, _socket, ...) are not linked against libpython; they expect
// its symbols to be global and fail to load with "undefined symbol" when they
// are not. Re-opening the already loaded libpython with RTLD_GLOBAL (and
// RTLD_NOLOAD, so nothing new is loaded) promotes its symbols.
void PromotePythonSymbols()
{
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&Py_InitializeFromConfig), &info) == 0 ||
        info.dli_fname == nullptr)
        return;
    void *handle = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_GLOBAL);
    // The handle is kept on purpose: the promotion lasts as long as it does.
    (void)handle;
}

// The table of built-in modules outlives finalisation, and interpreters from
// 3.12 on refuse to extend it once they have been initialised: the module is
// registered once per process.
bool RegisterModule()
{
    static bool registered = false;
    if (registered) return true;
    if (PyImport_AppendInittab("qpp", PyInit_qpp) == -1) return false;
    registered = true;
    return true;
}

}  // namespace

void qppPlugin::PyInitialize(const std::string &tag)
{
    std::lock_guard<std::mutex> guard(plock);

    if (pinit != 0 || runtime_up) {
        pinit++;
        return;
    }

    if (! RegisterModule())
        throw qdException("could not extend in-built modules table");

    PromotePythonSymbols();
    qppInstallArenaCache();

    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    // The plugin keeps no files of its own; a bytecode cache next to a
    // script could also stand in for an edit made within the same second.
    config.write_bytecode = 0;
    // Signals belong to the daemon.
    config.install_signal_handlers = 0;

    PyStatus status =
        PyConfig_SetBytesString(&config, &config.program_name, tag.c_str());
    if (PyStatus_Exception(status)) {
        PyConfig_Clear(&config);
        throw qdException("error setting Python program_name");
    }

    status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) {
        // Ending the host process here would take the daemon down for a
        // plugin's sake; the host is told instead.
        throw qdException("error initializing Python: %s",
            status.err_msg ? status.err_msg : "unknown error");
    }

    PyObject *module = PyImport_ImportModule("qpp");
    if (module == nullptr) {
        qppPrintPythonError();
        // Leave nothing half done: a later PyInitialize starts afresh.
        Py_FinalizeEx();
        throw qdException("could not import qpp module");
    }
    // The main interpreter keeps the module for its lifetime.
    Py_DECREF(module);

    std::string version(Py_GetVersion());
    size_t newline = version.find('\n');
    if (newline != std::string::npos) version.resize(newline);

    pts_main = PyEval_SaveThread();

    qd_dprintf("%s: Python initialized: %s\n", tag.c_str(), version.c_str());

    runtime_up = true;
    runtime_tag = tag;
    pinit = 1;
}

void qppPlugin::PyFinalize(const std::string &)
{
    std::lock_guard<std::mutex> guard(plock);
    if (pinit > 0) pinit--;
}

void qppPlugin::PyPin()
{
    std::lock_guard<std::mutex> guard(plock);
    runtime_pinned = true;
}

void qppPlugin::PyShutdown()
{
    std::lock_guard<std::mutex> guard(plock);
    // Instances the host never deleted may still run script code, and an
    // interpreter left to its script's threads must not be torn down
    // under them: in both cases the process's end takes the runtime.
    if (! runtime_up || pinit != 0 || runtime_pinned) return;
    PyEval_RestoreThread(pts_main);
    int rc = Py_FinalizeEx();
    pts_main = nullptr;
    runtime_up = false;
    qd_dprintf("%s: Python finalized %s.\n", runtime_tag.c_str(),
        (rc < 0) ? "with error(s)" : "successfully");
}

void qppPlugin::AddInstance(qppPlugin *plugin)
{
    std::lock_guard<std::mutex> guard(plock);
    instances.insert(std::make_pair(std::this_thread::get_id(), plugin));
}

void qppPlugin::RemoveInstance(qppPlugin *)
{
    std::lock_guard<std::mutex> guard(plock);
    instances.erase(std::this_thread::get_id());
}

qppPlugin *qppPlugin::GetInstance()
{
    std::lock_guard<std::mutex> guard(plock);
    auto it = instances.find(std::this_thread::get_id());
    return (it == instances.end()) ? nullptr : it->second;
}

#if PY_VERSION_HEX >= 0x030A0000
qppGcPause::qppGcPause() : resume(PyGC_Disable() == 1) { }

qppGcPause::~qppGcPause()
{
    if (resume) PyGC_Enable();
}
#else
// 3.9 has no C API for the switch: the gc module's functions do it.
namespace {

bool CallGc(const char *function)
{
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    bool result = false;
    qppPyRef gc = qppPyRef::Steal(PyImport_ImportModule("gc"));
    if (gc) {
        qppPyRef rc =
            qppPyRef::Steal(PyObject_CallMethod(gc.get(), function, nullptr));
        result = rc && PyObject_IsTrue(rc.get()) == 1;
    }
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return result;
}

}  // namespace

qppGcPause::qppGcPause() : resume(CallGc("isenabled"))
{
    if (resume) CallGc("disable");
}

qppGcPause::~qppGcPause()
{
    if (resume) CallGc("enable");
}
#endif

void qppPrintPythonError()
{
    if (! PyErr_Occurred()) return;

    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr)
        PyException_SetTraceback(value, traceback);
    qppPyRef t = qppPyRef::Steal(type);
    qppPyRef v = qppPyRef::Steal(value);
    qppPyRef tb = qppPyRef::Steal(traceback);

    // PyErr_Print would end the process on SystemExit and would keep the
    // exception (and every frame its traceback holds) alive in sys.last_*.
    PyErr_Display(t.get(), v.get(), tb.get());

    PyObject *err = PySys_GetObject("stderr");  // borrowed
    if (err != nullptr && err != Py_None) {
        qppPyRef rc = qppPyRef::Steal(PyObject_CallMethod(err, "flush", nullptr));
        if (! rc) PyErr_Clear();
    }
}

namespace {

// Destroyed when the library is unloaded (at the end of the process), after
// the functions above and before the class-wide members they use.
struct RuntimeAtUnload
{
    ~RuntimeAtUnload() { qppPlugin::PyShutdown(); }
} runtime_at_unload;

}  // namespace
