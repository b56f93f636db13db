// module.cpp: the init entry, and registration of the classes and the function.
#include "python/python_api.h"

#include <string>

#include "python/call_boundary.h"
#include "python/conversions.h"
#include "python/decision_tag_function.h"
#include "python/gate_client_type.h"
#include "python/gate_type.h"
#include "python/py_ref.h"
#include "python/verdict_type.h"
#include "support/internal_fault.h"

namespace latchwork {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "latchwork",  // name
    "",           // an empty docstring, present rather than absent
    0,            // no per-module state
    nullptr,      // functions are added during registration
    nullptr, nullptr, nullptr, nullptr,
};

// Filled by the first successful initialisation and never emptied: the module's
// objects belong to the process, so a second initialisation must not reuse them.
PyObject* module_cell = nullptr;

std::string describe_current_exception() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type), owned_value = PyRef::steal(value),
          owned_traceback = PyRef::steal(traceback);
    PyRef text = PyRef::steal(PyUnicode_FromFormat("%R: %R (traceback: %R)",
                                                   type ? type : Py_None,
                                                   value ? value : Py_None,
                                                   traceback ? traceback : Py_None));
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "<exception could not be described>";
    }
    return utf8;
}

// Appends `name` to the module's __all__ (creating it on first use), then sets the
// attribute, so the name is listed before the attribute exists.
bool add(PyObject* module, PyObject* name, PyObject* value) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef::steal(must(PyList_New(0)));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    } else if (!PyList_Check(all.get())) {
        raise_conversion_refusal(all.get(), "PyList");
        return false;
    }
    if (PyList_Append(all.get(), name) < 0) {
        throw InternalFault("could not append __name__ to __all__: " + describe_current_exception());
    }
    return PyObject_SetAttr(module, name, value) == 0;
}

bool add_type(PyObject* module, const char* name, PyObject* (*type_for_registration)()) {
    PyRef type = PyRef::steal(type_for_registration());
    if (!type) return false;
    PyRef key = PyRef::steal(must(PyUnicode_FromString(name)));
    return add(module, key.get(), type.get());
}

// Registered under its own __name__, which must be text.
bool add_function(PyObject* module, PyObject* (*function_for_registration)(PyObject*)) {
    PyRef function = PyRef::steal(function_for_registration(module));
    if (!function) return false;
    PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
        raise_conversion_refusal(name.get(), "PyString");
        return false;
    }
    return add(module, name.get(), function.get());
}

// Registration order is the order of __all__.
bool register_members(PyObject* module) {
    return add_type(module, "Verdict", verdict_type_for_registration) &&
           add_type(module, "Gate", gate_type_for_registration) &&
           add_type(module, "GateClient", gate_client_type_for_registration) &&
           add_function(module, decision_tag_function_for_registration);
}

PyObject* initialise() {
    if (module_cell != nullptr) {
        PyErr_SetString(PyExc_ImportError,
                        "PyO3 modules compiled for CPython 3.8 or older may only be initialized "
                        "once per interpreter process");
        return nullptr;
    }
    PyRef module = PyRef::steal(PyModule_Create2(&module_definition, PYTHON_ABI_VERSION));
    if (!module) return fail_from_interpreter();
    if (!register_members(module.get())) return fail_from_interpreter();
    module_cell = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace latchwork

PyMODINIT_FUNC PyInit_latchwork(void) {
    return latchwork::call_boundary(latchwork::initialise);
}
