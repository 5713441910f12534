// The built-in module "qpp" through which scripts log and dispatch.
// Registered in the table of built-in modules before the runtime starts;
// every sub-interpreter imports its own copy.
#pragma once

#include "qpp-python.h"

PyMODINIT_FUNC PyInit_qpp(void);
