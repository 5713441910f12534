// An extension module that refuses sub-interpreters, as some do. Multi-phase
// initialisation: 3.13 runs single-phase ones in the main interpreter.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

int RefuseSubInterpreters(PyObject *)
{
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return 0;
    PyErr_SetString(PyExc_ImportError, "qpp_test_refuser does not support sub-interpreters");
    return -1;
}

PyModuleDef_Slot refuser_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(RefuseSubInterpreters)}, {0, nullptr}};

PyModuleDef refuser_module = {PyModuleDef_HEAD_INIT, "qpp_test_refuser", nullptr, 0,
    nullptr, refuser_slots, nullptr, nullptr, nullptr};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_qpp_test_refuser(void)
{
    return PyModuleDef_Init(&refuser_module);
}
