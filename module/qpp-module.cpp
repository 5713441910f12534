// The module's functions run on the thread of the calling script code,
// which holds the interpreter lock: a plugin's worker inside a callback or
// while the script is imported.

#include <cstring>
#include <exception>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "qpp-module.h"
#include "qpp-runtime.h"

namespace {

PyObject *qpp_py_log(PyObject *args, void (*log)(const char *, ...))
{
    const char *message = nullptr;
    if (! PyArg_ParseTuple(args, "s", &message)) {
        PyErr_SetString(PyExc_TypeError, "message type must be a string");
        return nullptr;
    }
    // The message is text, never a format.
    log("%s", message);
    return PyLong_FromLong(0);
}

PyObject *qpp_py_print(PyObject *, PyObject *args)
{
    return qpp_py_log(args, qd_printf);
}

PyObject *qpp_py_debug(PyObject *, PyObject *args)
{
    return qpp_py_log(args, qd_dprintf);
}

PyObject *qpp_py_dispatch(PyObject *, PyObject *args)
{
    qppInstance *instance = qppRuntime::GetInstance();
    if (instance == nullptr) {
        PyErr_SetString(
            PyExc_TypeError, "dispatch error; plugin instance not found");
        return nullptr;
    }

    const char *target = nullptr;
    PyObject *list = nullptr;
    const char *payload = nullptr;
    unsigned char format = 0, header = 0;
    if (! PyArg_ParseTuple(args, "sO!s|bb", &target, &PyList_Type, &list,
            &payload, &format, &header)) {
        PyErr_SetString(PyExc_TypeError, "dispatch argument type error");
        return nullptr;
    }

    std::set<std::string> channels;
    // The length is taken once; the second test only guards the index.
    Py_ssize_t count = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < count && i < PyList_GET_SIZE(list); i++) {
        PyObject *item = PyList_GET_ITEM(list, i);  // borrowed
        if (! PyUnicode_Check(item)) continue;
        qppPyRef encoded =
            qppPyRef::Steal(PyUnicode_AsEncodedString(item, "UTF-8", "strict"));
        if (! encoded || ! PyBytes_Check(encoded.get())) {
            PyErr_SetString(
                PyExc_TypeError, "channel list items must be Unicode strings.");
            return nullptr;
        }
        channels.insert(std::string(PyBytes_AS_STRING(encoded.get())));
    }

    std::vector<uint8_t> buffer(payload, payload + strlen(payload));

    uint8_t flags = 0;
    if (format == 1 || format == 2) flags = format;
    if (header == 1) flags |= 16;

    std::string name(target);

    // Everything the host gets is a copy made above, so the interpreter
    // lock is given up while a sink works: a slow sink must not stop the
    // scripts of every other instance. A sink refuses by throwing, whatever
    // it throws; nothing may unwind through the interpreter's frames.
    bool delivered = false;
    std::string error;
    PyThreadState *ts = PyEval_SaveThread();
    try {
        instance->DispatchPayload(name, channels, buffer.size(),
            buffer.empty() ? nullptr : buffer.data(),
            qdFlags<qdPlugin::DispatchFlags>::FromValue(flags));
        delivered = true;
    }
    catch (const std::exception &e) {
        error = e.what();
    }
    catch (...) {
        error = "unknown exception";
    }
    PyEval_RestoreThread(ts);

    if (! delivered) {
        qd_dprintf("%s: error dispatching payload: %s\n",
            instance->InstanceTag().c_str(), error.c_str());
        Py_RETURN_FALSE;
    }
    Py_RETURN_TRUE;
}

// The statistics as Python objects: objects become dictionaries, numbers
// int or float, texts str. Null with a Python error set when one cannot be made.
PyObject *FromJson(const nlohmann::json &value)
{
    if (value.is_object()) {
        qppPyRef dict = qppPyRef::Steal(PyDict_New());
        if (! dict) return nullptr;
        for (auto &item : value.items()) {
            qppPyRef member = qppPyRef::Steal(FromJson(item.value()));
            if (! member ||
                PyDict_SetItemString(dict.get(), item.key().c_str(),
                    member.get()) < 0)
                return nullptr;
        }
        return dict.release();
    }
    if (value.is_number_unsigned())
        return PyLong_FromUnsignedLongLong(value.get<uint64_t>());
    if (value.is_number_integer()) return PyLong_FromLongLong(value.get<int64_t>());
    if (value.is_number_float()) return PyFloat_FromDouble(value.get<double>());
    if (value.is_string()) {
        const std::string &text = value.get_ref<const std::string &>();
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    }
    PyErr_SetString(PyExc_TypeError, "unexpected statistics value");
    return nullptr;
}

PyObject *qpp_py_stats(PyObject *, PyObject *)
{
    qppInstance *instance = qppRuntime::GetInstance();
    if (instance == nullptr) {
        PyErr_SetString(PyExc_TypeError, "stats error; plugin instance not found");
        return nullptr;
    }
    return FromJson(instance->Statistics());
}
// A C++ exception must never unwind through the interpreter's frames: they
// have no clean-up for it (references, the frame stack, the interpreter
// lock's bookkeeping would be left half done), and a C frame without unwind
// tables ends the process. Each module function catches whatever its C++
// calls throw (the host's logger and sinks, the standard library's
// allocations) and raises a Python exception instead.
template <PyObject *(*Function)(PyObject *, PyObject *), const char *Name>
PyObject *Guarded(PyObject *self, PyObject *args) noexcept
{
    try {
        return Function(self, args);
    }
    catch (const std::bad_alloc &) {
        PyErr_Format(PyExc_MemoryError, "%s: out of memory", Name);
    }
    catch (const std::exception &e) {
        PyErr_Format(PyExc_RuntimeError, "%s: %s", Name, e.what());
    }
    catch (...) {
        PyErr_Format(PyExc_RuntimeError, "%s: unknown C++ exception", Name);
    }
    return nullptr;
}

constexpr char print_name[] = "qpp.print";
constexpr char debug_name[] = "qpp.debug";
constexpr char dispatch_name[] = "qpp.dispatch";
constexpr char stats_name[] = "qpp.stats";

PyMethodDef qpp_methods[] = {
    {"print", Guarded<qpp_py_print, print_name>, METH_VARARGS,
        "Send a message to the Quiven Agent logger."},
    {"debug", Guarded<qpp_py_debug, debug_name>, METH_VARARGS,
        "Send a debug message to the Quiven Agent logger."},
    {"dispatch", Guarded<qpp_py_dispatch, dispatch_name>, METH_VARARGS,
        "Dispatch a payload to a Quiven Agent sink plugin."},
    {"stats", Guarded<qpp_py_stats, stats_name>, METH_NOARGS,
        "Return the statistics of this plugin instance."},
    {nullptr, nullptr, 0, nullptr},
};

// Runs in every interpreter that imports the module: each gets a module
// object and an exception class of its own, so that nothing a script stores
// on them reaches another instance (a module made once and copied into
// every interpreter would share its objects, whose code and globals belong
// to the interpreter that made them).
int qpp_exec(PyObject *module)
{
    qppPyRef error =
        qppPyRef::Steal(PyErr_NewException("qpp.error", nullptr, nullptr));
    if (! error) return -1;
    // PyModule_AddObject takes the reference only when it succeeds.
    if (PyModule_AddObject(module, "error", error.get()) < 0) return -1;
    error.release();
    return qppModuleAddConstants(module);
}

PyModuleDef_Slot qpp_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(qpp_exec)},
    {0, nullptr},
};

PyModuleDef qpp_module = {
    PyModuleDef_HEAD_INIT,
    "qpp",
    nullptr,
    0,  // no state; a module per interpreter (multi-phase initialisation)
    qpp_methods,
    qpp_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_qpp(void)
{
    return PyModuleDef_Init(&qpp_module);
}
