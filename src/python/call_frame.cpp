// call_frame.cpp: argument binding with its error messages, and plain result conversion.
#include "python/call_frame.h"

#include "python/py_ref.h"

namespace latchwork {
namespace {

// ---- binding errors: one builder per message form ------------------------------------

void raise_too_many(const ParamSpec& spec, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (spec.required == spec.names.size()) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                     spec.display_name, spec.names.size(), given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                     spec.display_name, spec.required, spec.names.size(), given, verb);
    }
}

void raise_unexpected_keyword(const ParamSpec& spec, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", spec.display_name,
                 keyword);
}

void raise_multiple_values(const ParamSpec& spec, const char* name) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", spec.display_name,
                 name);
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
void raise_missing(const ParamSpec& spec, PyObject* const* slots) {
    std::string names;
    std::size_t missing = 0, listed = 0;
    for (std::size_t i = 0; i < spec.required; ++i) missing += slots[i] == nullptr;
    for (std::size_t i = 0; i < spec.required; ++i) {
        if (slots[i] != nullptr) continue;
        if (listed > 0) {
            if (missing == 2) names += " and ";
            else names += listed + 1 == missing ? ", and " : ", ";
        }
        names += '\'';
        names += spec.names[i];
        names += '\'';
        ++listed;
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", spec.display_name,
                 missing, missing == 1 ? "argument" : "arguments", names.c_str());
}

// ---- binding steps ----------------------------------------------------------------------

bool bind_keyword(const ParamSpec& spec, PyObject* keyword, PyObject* value, PyObject** slots) {
    for (std::size_t i = 0; i < spec.names.size(); ++i) {
        // Never raises; a keyword that is not plain text simply matches nothing.
        if (PyUnicode_CompareWithASCIIString(keyword, spec.names[i]) != 0) continue;
        if (slots[i] != nullptr) {
            raise_multiple_values(spec, spec.names[i]);
            return false;
        }
        slots[i] = value;
        return true;
    }
    raise_unexpected_keyword(spec, keyword);
    return false;
}

bool check_counts(const ParamSpec& spec, Py_ssize_t nargs) {
    if (static_cast<std::size_t>(nargs) > spec.names.size()) {
        raise_too_many(spec, nargs);
        return false;
    }
    return true;
}

bool check_missing(const ParamSpec& spec, Py_ssize_t nargs, PyObject* const* slots) {
    if (static_cast<std::size_t>(nargs) >= spec.required) return true;
    for (std::size_t i = static_cast<std::size_t>(nargs); i < spec.required; ++i) {
        if (slots[i] == nullptr) {
            raise_missing(spec, slots);
            return false;
        }
    }
    return true;
}

}  // namespace

bool bind_arguments(const ParamSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots) {
    if (!check_counts(spec, nargs)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    if (kwnames != nullptr) {
        // Keyword names come in call order, and their values follow the positionals.
        const Py_ssize_t count = PyTuple_Size(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!bind_keyword(spec, PyTuple_GetItem(kwnames, i), args[nargs + i], slots)) {
                return false;
            }
        }
    }
    return check_missing(spec, nargs, slots);
}

bool bind_arguments(const ParamSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const Py_ssize_t nargs = PyTuple_Size(args);
    if (!check_counts(spec, nargs)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GetItem(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject *keyword, *value;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) {
            if (!bind_keyword(spec, keyword, value, slots)) return false;
        }
    }
    return check_missing(spec, nargs, slots);
}

PyObject* to_python(NoResult) { return Py_NewRef(Py_None); }

PyObject* to_python(bool value) { return Py_NewRef(value ? Py_True : Py_False); }

PyObject* to_python(std::uint64_t value) {
    return must(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
}

PyObject* to_python(std::string_view text) {
    return must(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace latchwork
