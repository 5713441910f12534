// The process-wide runtime shared by all instances, and the registry of
// worker threads (see qpp-runtime.h).
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

#include <mutex>
#include <thread>
#include <unordered_map>

#include "qpp-interpreter.h"
#include "qpp-runtime.h"

namespace {

std::mutex plock;
uint32_t pinit = 0;  // guarded by plock: instances counted
bool runtime_up = false;  // guarded by plock
bool runtime_pinned = false;  // guarded by plock
std::string runtime_tag;  // guarded by plock: who brought it up
// The thread state the runtime was brought up with, resumed only to
// finalise it; guarded by plock.
PyThreadState *pts_main = nullptr;

// The registry of workers, guarded by plock. Never destroyed: a worker of
// an instance that the host never deleted may still look itself up while
// the process's exit handlers destroy static objects. std::mutex (plock)
// has nothing to destroy.
std::unordered_map<std::thread::id, qppInstance *> &Instances()
{
    static auto *instances =
        new std::unordered_map<std::thread::id, qppInstance *>();
    return *instances;
}

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
bool RegisterModule(const char *module_name, PyObject *(*init)())
{
    static bool registered = false;
    if (registered) return true;
    if (PyImport_AppendInittab(module_name, init) == -1) return false;
    registered = true;
    return true;
}

}  // namespace

void qppRuntime::Initialize(
    const std::string &tag, const char *module_name, PyObject *(*init)())
{
    std::lock_guard<std::mutex> guard(plock);

    if (pinit != 0 || runtime_up) {
        pinit++;
        return;
    }

    if (! RegisterModule(module_name, init))
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

    PyObject *module = PyImport_ImportModule(module_name);
    if (module == nullptr) {
        qppPrintPythonError();
        // Leave nothing half done: a later Initialize starts afresh.
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

void qppRuntime::Finalize()
{
    std::lock_guard<std::mutex> guard(plock);
    if (pinit > 0) pinit--;
}

PyThreadState *qppRuntime::InitialThreadState()
{
    std::lock_guard<std::mutex> guard(plock);
    return pts_main;
}

void qppRuntime::Pin()
{
    std::lock_guard<std::mutex> guard(plock);
    runtime_pinned = true;
}

void qppRuntime::Shutdown()
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

void qppRuntime::AddInstance(qppInstance *instance)
{
    std::lock_guard<std::mutex> guard(plock);
    Instances().insert(std::make_pair(std::this_thread::get_id(), instance));
}

void qppRuntime::RemoveInstance()
{
    std::lock_guard<std::mutex> guard(plock);
    Instances().erase(std::this_thread::get_id());
}

qppInstance *qppRuntime::GetInstance()
{
    std::lock_guard<std::mutex> guard(plock);
    auto &instances = Instances();
    auto it = instances.find(std::this_thread::get_id());
    return (it == instances.end()) ? nullptr : it->second;
}

namespace {

// Destroyed when the library is unloaded (at the end of the process), after
// the functions above and before the state they use, defined above it.
struct RuntimeAtUnload
{
    ~RuntimeAtUnload() { qppRuntime::Shutdown(); }
} runtime_at_unload;

}  // namespace
