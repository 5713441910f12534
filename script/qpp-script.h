// qppScript: the script an instance runs, as Python objects.
//
// It owns every Python reference the plugin keeps of the script:
// the imported module, its bound callbacks, and the flow encoder's key
// table; and it knows the modules loaded from the module directories. All
// of them are objects of the instance's sub-interpreter and must go inside
// it, before it ends: Teardown does that. Destroying a qppScript that
// still holds references needs that interpreter current too.
//
// Threads. The worker thread imports, binds and calls, inside a
// thread_scope of the sub-interpreter; the host thread that deletes the
// instance releases, inside one too. Subscriptions is read by any thread
// (the hooks): one load of one atomic. In a script runner, the runner's
// main thread does all of this in its main interpreter.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <set>
#include <string>

#include "qpp-flow-encoder.h"
#include "qpp-interpreter.h"
#include "qpp-python.h"

// How long the end of a script waits for the threads it started to end.
constexpr std::chrono::seconds script_thread_wait(3);

class qppScript
{
public:
    // The callbacks, as the bits of Subscriptions.
    enum Callback : uint8_t {
        ProcessAgentEvent = 1,
        ProcessFlowEvent = 2,
        ProcessFlowMap = 4,
        ProcessFlowStats = 8,
    };
    // Set once a script is loaded and its callbacks bound: clear before the
    // first load, after a failed one and while a reload re-imports the
    // script. A hook that finds no subscriber counts its event as dropped
    // only then; one load of one atomic tells it both.
    static constexpr uint8_t loaded = 0x80;

    // The callback's name; null for a value that names none.
    static const char *CallbackName(uint8_t id);

    // mask: where the bound callbacks' bits are published, for the hooks
    // of the instance to read; the script's own.
    explicit qppScript(std::atomic<uint8_t> &mask) : subscriptions(mask) { }
    qppScript(const qppScript &) = delete;
    qppScript &operator=(const qppScript &) = delete;

    // Any thread: the bound callbacks' bits, and loaded.
    uint8_t Subscriptions() const { return subscriptions.load(); }

    // Inside a thread_scope, before the first script code runs in the
    // interpreter: takes what Teardown calls. Teardown must not import
    // anything: whatever a script's failed imports left in sys.modules
    // (an extension module that refuses a second interpreter, half
    // initialised) is run again by the import system, and has crashed the
    // process from there. Throws qdException.
    void Prepare();

    // Worker thread. True when digest is that of the script loaded last.
    bool Unchanged(const uint8_t digest[20]) const;
    // The next Import is never taken for an unchanged script's.
    void ForgetDigest();
    // Inside a thread_scope: forgets the script's module and takes it out of
    // sys.modules, so that the next Import is a fresh one.
    void Forget();
    const std::string &Path() const { return script_path; }

    // Worker thread, inside a thread_scope. Forgets the bound callbacks
    // and clears Subscriptions, and deletes them from the module, so that
    // a re-import does not find one its new version no longer defines.
    void ForgetCallbacks();
    // Forgets the bound callbacks and clears Subscriptions; the module
    // keeps its names.
    void Unbind();
    // Puts dir on sys.path unless it is there; what is loaded from it is
    // the script's, torn down by ClearModules. Throws qdException.
    void AddModuleDirectory(const std::string &dir);
    // Imports (or re-executes) the script at path as module name. A
    // failure forgets the digest, so that the next request tries again.
    // Throws qdException.
    void Import(const std::string &name, const std::string &path,
        const uint8_t digest[20], const std::string &tag);
    // Binds one callback of the imported module; false when the script
    // does not define it. Throws qdException for an id that names none.
    bool Bind(uint8_t id, const std::string &tag);
    // Worker thread, inside a thread_scope: all of the above in their
    // order (Prepare, ForgetCallbacks, AddModuleDirectory, Import, Bind of
    // every callback the script defines, each said in a debug line under
    // the new tag, name), then marks the script loaded. Throws
    // qdException: nothing is bound then.
    void Load(const std::string &name, const std::string &path, const uint8_t digest[20],
        const std::string &module_dir, const std::string &tag);
    // The bound callback of id, borrowed; null when there is none.
    PyObject *Function(Callback id) const;
    qppFlowEncoder &Encoder() { return encoder; }

    // Inside a thread_scope of interpreter, on the way to ending it:
    // releases every reference held, runs the script's atexit handlers and
    // tears down the modules loaded from the module directories, waiting
    // after each step until no thread that the script started runs, for
    // at most wait in all from the release on. False when some still ran
    // then: the interpreter cannot be ended.
    // interp is the interpreter, idle a thread state of it that runs
    // nothing.
    bool Teardown(PyInterpreterState *interp, PyThreadState *idle,
        std::chrono::steady_clock::duration wait);

private:
    void Release();
    void ForgetFailedImports();
    void RunExitHandlers();
    void ClearModules();

    std::atomic<uint8_t> &subscriptions;
    std::string script_path;
    uint8_t script_digest[20] = {};
    qppPyRef module;
    std::string module_name;  // the name module was imported as
    std::set<std::string> module_directories;  // every one put on sys.path
    qppPyRef functions[4];  // by the bit's position
    qppFlowEncoder encoder;
    // Taken by Prepare: atexit._run_exitfuncs and gc.collect.
    qppPyRef run_exit_handlers;
    qppPyRef collect_garbage;
};
