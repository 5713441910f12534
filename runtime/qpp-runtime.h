// qppRuntime: the process-wide Python runtime that every instance's
// sub-interpreter belongs to, and the registry through which code running
// on a worker thread (the built-in module) finds the instance it serves.
//
// The runtime is brought up by the first instance and stays up when the
// last one goes (see the source for why); it is finalised when the library
// is unloaded, if no instance is left and none pinned it.
//
// Threads and locks. Any thread; plock guards the runtime's state
// and the registry. It is held around the interpreter lock only while the
// runtime is brought up or finalised, when no worker runs script code; a
// worker that looks itself up holds the interpreter lock and then takes
// plock (the order is written in qpp-plugin.h).
#pragma once

#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "qpp-python.h"
#include "quivend.h"

// What code that runs on an instance's worker thread (the module's
// functions, called by the script) may ask of the instance.
class qppInstance
{
public:
    // The instance's tag, for log lines.
    virtual std::string InstanceTag() const = 0;
    // The instance's counters.
    virtual nlohmann::json Statistics() const = 0;
    // Hands a payload to the host's sinks; throws whatever a sink throws
    // when it refuses it.
    virtual void DispatchPayload(const std::string &target,
        const std::set<std::string> &channels, size_t length,
        const uint8_t *payload, qdFlags<qdPlugin::DispatchFlags> flags) = 0;

protected:
    ~qppInstance() = default;
};

namespace qppRuntime {

// The first call brings the runtime up, with the built-in module
// module_name (made by init) registered and imported into the main
// interpreter; every call counts one instance more. Throws qdException.
void Initialize(const std::string &tag, const char *module_name,
    PyObject *(*init)());
// Counts one instance less; the runtime stays up.
void Finalize();
// The thread state the runtime was brought up with, which runs nothing
// while it is up (a script runner waits for the other threads of its main
// interpreter).
PyThreadState *InitialThreadState();
// Keeps the runtime from being finalised: an interpreter was left alive.
void Pin();
// Finalises the runtime if no instance is left and nothing pinned it; run
// when the library is unloaded.
void Shutdown();

// The calling worker thread serves instance, until RemoveInstance. A
// second registration of the same thread is ignored.
void AddInstance(qppInstance *instance);
void RemoveInstance();
// The instance the calling thread serves, or null.
qppInstance *GetInstance();

}  // namespace qppRuntime
