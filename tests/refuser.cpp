// An extension module that refuses sub-interpreters, as some third-party
// modules do: its initialisation fails anywhere but in the main interpreter.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyModuleDef refuser_module = {
    PyModuleDef_HEAD_INIT, "qpp_test_refuser", nullptr, -1, nullptr,
    nullptr, nullptr, nullptr, nullptr};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_qpp_test_refuser(void)
{
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
            "qpp_test_refuser does not support sub-interpreters");
        return nullptr;
    }
    return PyModule_Create(&refuser_module);
}
