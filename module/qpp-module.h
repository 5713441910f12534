// The built-in module "qpp" through which scripts log and dispatch.
// Registered in the table of built-in modules before the runtime starts;
// every sub-interpreter imports its own copy.
#pragma once

#include <cstdint>

#include "qpp-python.h"

PyMODINIT_FUNC PyInit_qpp(void);

// The event value that tells a script's ProcessAgentEvent it is being
// unloaded (qpp.EVENT_UNLOAD); never one of the host's.
constexpr uint8_t qppEventUnload = 99;

// Adds the event constants (EVENT_FLOW_NEW, ..., EVENT_UNLOAD) to the
// module while it is executed, in every interpreter that imports it. 0, or
// -1 with the error set.
int qppModuleAddConstants(PyObject *module);
