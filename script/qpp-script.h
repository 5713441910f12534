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
// (the hooks): one load of one atomic.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <set>
#include <string>

#include "qpp-flow-encoder.h"
#include "qpp-interpreter.h"
#include "qpp-python.h"

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

    qppScript() = default;
    qppScript(const qppScript &) = delete;
    qppScript &operator=(const qppScript &) = delete;

    // Any thread: the bound callbacks' bits, and loaded.
    uint8_t Subscriptions() const { return subscriptions.load(); }

    // Worker thread. True when digest is that of the script loaded last.
    bool Unchanged(const uint8_t digest[20]) const;
    const std::string &Path() const { return script_path; }

    // Worker thread, inside a thread_scope. Forgets the bound callbacks
    // and clears Subscriptions, and deletes them from the module, so that
    // a re-import does not find one its new version no longer defines.
    void ForgetCallbacks();
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
    // The script is loaded: every callback it defines is bound.
    void MarkLoaded() { subscriptions |= loaded; }
    // The bound callback of id, borrowed; null when there is none.
    PyObject *Function(Callback id) const;
    qppFlowEncoder &Encoder() { return encoder; }

    // Inside a thread_scope of interpreter, on the way to ending it:
    // releases every reference held, runs the script's atexit handlers and
    // tears down the modules loaded from the module directories, waiting
    // after each step until no thread that the script started runs, for
    // at most wait in all from the release on. False when some still ran
    // then: the interpreter cannot be ended.
    bool Teardown(qppPySubInterpreter &interpreter,
        std::chrono::steady_clock::duration wait);

private:
    void Release();
    void RunExitHandlers();
    void ClearModules();

    std::atomic<uint8_t> subscriptions{0};
    std::string script_path;
    uint8_t script_digest[20] = {};
    qppPyRef module;
    std::string module_name;  // the name module was imported as
    std::set<std::string> module_directories;  // every one put on sys.path
    qppPyRef functions[4];  // by the bit's position
    qppFlowEncoder encoder;
};
