// The garbage collector switch and the error report (see qpp-python.h).

#include "qpp-python.h"

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
