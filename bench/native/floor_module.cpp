// floor_module.cpp: latchwork_floor, a no-op method with latchwork's calling convention.
//
// Floor().noop(run_id, effect_key) is bound and converted the way Gate.submit binds its
// two str arguments (vectorcall with keyword names, UTF-8 views of both) and does
// nothing else. What a latchwork method costs beyond this is latchwork's own work:
// locking, the ledger and the Verdict it builds.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030a0000  // the build normally sets it, as for latchwork
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

constexpr const char* kNames[] = {"run_id", "effect_key"};
constexpr Py_ssize_t kCount = 2;

bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    if (nargs > kCount) {
        PyErr_SetString(PyExc_TypeError, "Floor.noop() takes 2 positional arguments");
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_Size(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* keyword = PyTuple_GetItem(kwnames, i);
            Py_ssize_t slot = 0;
            while (slot < kCount && PyUnicode_CompareWithASCIIString(keyword, kNames[slot]) != 0) {
                ++slot;
            }
            if (slot == kCount || slots[slot] != nullptr) {
                PyErr_SetString(PyExc_TypeError, "Floor.noop() got a bad keyword argument");
                return false;
            }
            slots[slot] = args[nargs + i];
        }
    }
    if (slots[0] == nullptr || slots[1] == nullptr) {
        PyErr_SetString(PyExc_TypeError, "Floor.noop() missing an argument");
        return false;
    }
    return true;
}

bool text_of(PyObject* object, const char*& data, Py_ssize_t& size) {
    if (!PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "argument cannot be converted to 'PyString'");
        return false;
    }
    data = PyUnicode_AsUTF8AndSize(object, &size);
    return data != nullptr;
}

PyObject* noop(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[kCount] = {};
    if (!bind(args, nargs, kwnames, slots)) return nullptr;
    const char* run_id = nullptr;
    const char* effect_key = nullptr;
    Py_ssize_t run_size = 0, key_size = 0;
    if (!text_of(slots[0], run_id, run_size) || !text_of(slots[1], effect_key, key_size)) {
        return nullptr;
    }
    Py_INCREF(Py_None);
    return Py_None;
}

PyMethodDef floor_methods[] = {
    {"noop", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(noop)),
     METH_FASTCALL | METH_KEYWORDS, "noop($self, run_id, effect_key)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot floor_slots[] = {
    {Py_tp_methods, floor_methods},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {0, nullptr},
};

PyType_Spec floor_spec = {"latchwork_floor.Floor", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                          floor_slots};

PyModuleDef floor_module = {PyModuleDef_HEAD_INIT, "latchwork_floor", nullptr, -1,
                            nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_latchwork_floor() {
    PyObject* module = PyModule_Create(&floor_module);
    if (module == nullptr) return nullptr;
    PyObject* type = PyType_FromSpec(&floor_spec);
    if (type == nullptr || PyModule_AddObject(module, "Floor", type) < 0) {
        Py_XDECREF(type);
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
