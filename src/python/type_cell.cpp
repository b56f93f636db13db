// type_cell.cpp: building a class from its type slots, once per process.
#include "python/type_cell.h"

#include <vector>

#include "python/call_boundary.h"
#include "support/internal_fault.h"

namespace latchwork {

PyObject* TypeCell::get_or_create() {
    if (type_ == nullptr) {
        // The interpreter keeps pointers into the slot list's contents, not the list.
        std::vector<PyType_Slot> slots;
        if (spec_.doc[0] != '\0') slots.push_back({Py_tp_doc, const_cast<char*>(spec_.doc)});
        slots.insert(slots.end(), spec_.slots.begin(), spec_.slots.end());
        slots.push_back({Py_tp_base, &PyBaseObject_Type});
        slots.push_back({0, nullptr});
        PyType_Spec spec{spec_.qualified_name, spec_.basic_size, 0, Py_TPFLAGS_DEFAULT,
                         slots.data()};
        PyObject* created = PyType_FromSpec(&spec);
        if (created == nullptr) return fail_from_interpreter();
        type_ = reinterpret_cast<PyTypeObject*>(created);  // the cell keeps this reference
    }
    return Py_NewRef(reinterpret_cast<PyObject*>(type_));
}

void TypeCell::create_or_fault() {
    PyObject* created = get_or_create();
    if (created == nullptr) {
        PyErr_Print();
        throw InternalFault(std::string("failed to create type object for ") + spec_.class_name);
    }
    Py_DECREF(created);
}

}  // namespace latchwork
