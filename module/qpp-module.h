// The built-in module "qpp" through which scripts log and dispatch.
// Registered in the table of built-in modules before the runtime starts;
// every sub-interpreter imports its own copy.
#pragma once

#include "qpp-python.h"

PyMODINIT_FUNC PyInit_qpp(void);

// Adds the event constants (EVENT_FLOW_NEW, ..., EVENT_UNLOAD) to a module
// under construction. Takes over the reference to module, which may be null
// after a failed creation; returns it, or null with the error set after
// releasing it. Added during the first import, they are part of the copy
// that every sub-interpreter's import of the module gets.
PyObject *qppModuleAddConstants(PyObject *module);
