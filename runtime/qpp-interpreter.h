// Sub-interpreters and the way threads enter them.
//
// qppPySubInterpreter owns one sub-interpreter of the process-wide runtime:
// it is created and ended by a host thread (the plugin's constructor and
// destructor) inside a thread_scope of the main interpreter.
//
// qppPyThreadState owns a thread state that it created for an interpreter;
// thread_scope is the only way a thread enters an interpreter (the worker
// its sub-interpreter, a host thread the main one): it takes the interpreter
// lock with a fresh thread state of the calling thread and gives both up on
// every way out, exceptions included. Scopes are neither copied nor nested.
#pragma once

#include <chrono>
#include <cstddef>

#include "qpp-python.h"

class qppPyThreadState
{
public:
    explicit qppPyThreadState(PyInterpreterState *interp);
    ~qppPyThreadState();

    qppPyThreadState(const qppPyThreadState &) = delete;
    qppPyThreadState &operator=(const qppPyThreadState &) = delete;

    PyThreadState *get() const { return ts; }

private:
    PyThreadState *ts;
};

class qppPySubInterpreter
{
public:
    // Call inside a thread_scope of the main interpreter, whose thread state
    // is current again on return. IsValid() is false when creation failed.
    qppPySubInterpreter();
    // Same precondition; ends the sub-interpreter if there is one.
    ~qppPySubInterpreter();

    qppPySubInterpreter(const qppPySubInterpreter &) = delete;
    qppPySubInterpreter &operator=(const qppPySubInterpreter &) = delete;

    bool IsValid() const { return ts != nullptr; }

    // The thread state it was made with, which runs nothing.
    PyThreadState *CreationState() const { return ts; }

    // Forgets the sub-interpreter without ending it; the destructor then
    // leaves it alone. For an interpreter whose threads never ended.
    void Abandon() { ts = nullptr; }
    PyInterpreterState *GetInterpreterState() const
    {
        return ts ? ts->interp : nullptr;
    }

    class thread_scope
    {
    public:
        explicit thread_scope(PyInterpreterState *interp);
        ~thread_scope();

        thread_scope(const thread_scope &) = delete;
        thread_scope &operator=(const thread_scope &) = delete;

    private:
        qppPyThreadState state;
        PyThreadState *ts_prev;
    };

private:
    PyThreadState *ts;
};

// Inside a thread_scope of interp: the threads that run in it (threads that
// its scripts started) but the caller, not counting idle, a thread state
// that runs nothing (the one interp was made with).
size_t qppCountOtherThreads(PyInterpreterState *interp, PyThreadState *idle);
// Waits until there are none, letting them run meanwhile. False when some
// are left at the deadline.
bool qppWaitForOtherThreads(PyInterpreterState *interp, PyThreadState *idle,
    std::chrono::steady_clock::time_point deadline);

// Process-wide allocator for the interpreter's large blocks (arenas and
// thread-state data stacks) that keeps a few freed blocks for reuse; see
// the source for why. Installed once, before the interpreter starts.
void qppInstallArenaCache();
// Gives back kept arenas beyond what the decayed recent peak allows; called
// by idle workers so that memory returns when scripts have gone quiet.
void qppTrimArenaCache();
