// The one place that includes Python.h, and the handle through which the
// plugin owns Python references.
//
// qppPyRef owns exactly one strong reference, or none, and releases it when
// it goes out of scope. Adopt a new reference with qppPyRef::Steal and take a
// reference of one's own to a borrowed object with qppPyRef::Borrow; a plain
// PyObject* is always borrowed and never released by whoever holds it.
// A handle must be destroyed (or released) while its interpreter is current
// and the interpreter lock is held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

class qppPyRef
{
public:
    qppPyRef() = default;
    ~qppPyRef() { Py_XDECREF(object); }

    qppPyRef(const qppPyRef &) = delete;
    qppPyRef &operator=(const qppPyRef &) = delete;

    qppPyRef(qppPyRef &&other) noexcept : object(other.object)
    {
        other.object = nullptr;
    }
    qppPyRef &operator=(qppPyRef &&other) noexcept
    {
        if (this != &other) {
            Py_XDECREF(object);
            object = other.object;
            other.object = nullptr;
        }
        return *this;
    }

    static qppPyRef Steal(PyObject *object)
    {
        qppPyRef ref;
        ref.object = object;
        return ref;
    }
    static qppPyRef Borrow(PyObject *object)
    {
        Py_XINCREF(object);
        return Steal(object);
    }

    PyObject *get() const { return object; }
    explicit operator bool() const { return object != nullptr; }

    // Hands the reference over to the caller (for APIs that steal it).
    PyObject *release()
    {
        PyObject *o = object;
        object = nullptr;
        return o;
    }

    void reset()
    {
        PyObject *o = object;
        object = nullptr;
        Py_XDECREF(o);
    }

private:
    PyObject *object = nullptr;
};

// Pauses the cyclic garbage collector while alive, unless it was off
// already. Under the interpreter lock. For building large structures that
// hold no reference cycles: each container made counts towards the next
// collection, and the flow dictionaries of a big flow map would otherwise
// set off dozens of collections, the older generations' passes walking
// everything made so far again and again, for nothing to collect. A
// pending error is kept across the switch.
class qppGcPause
{
public:
    qppGcPause();
    ~qppGcPause();

    qppGcPause(const qppGcPause &) = delete;
    qppGcPause &operator=(const qppGcPause &) = delete;

private:
    bool resume = false;
};

// Prints the pending Python exception with its traceback to the current
// interpreter's sys.stderr and clears it. Unlike PyErr_Print this never ends
// the process on SystemExit and keeps no sys.last_* references.
void qppPrintPythonError();
