// type_cell.h: process-wide storage of one class's type object, created on first use.
#pragma once

#include "python/python_api.h"

#include <span>
#include <string>

namespace latchwork {

struct ClassSpec {
    const char* class_name;           // "Gate"
    const char* qualified_name;       // "latchwork.Gate"; lives as long as the type
    const char* doc;                  // class docstring, "" for none
    int basic_size;                   // sizeof the instance layout
    std::span<PyType_Slot> slots;     // the class's own slots, without doc, base or terminator
};

class TypeCell {
public:
    explicit constexpr TypeCell(const ClassSpec& spec) : spec_(spec) {}

    // The type, created if needed. A later creation failure is a fault, since a
    // successful import has already created every type.
    PyTypeObject* get() {
        if (type_ == nullptr) create_or_fault();
        return type_;
    }

    // For registration: a new reference to the type, or null with the exception set
    // (the cell stays empty, so a later import tries again).
    PyObject* get_or_create();

private:
    void create_or_fault();

    const ClassSpec& spec_;
    PyTypeObject* type_ = nullptr;  // filled once, kept until the process ends
};

}  // namespace latchwork
