// py_ref.h: the owning handle for PyObject references.
//
// A PyRef holds one strong reference and drops it when it goes away. Whether it
// starts from a new reference (steal) or a borrowed one (borrow) is spelled out at
// the call site; release() hands the reference on to the interpreter.
#pragma once

#include "python/python_api.h"

#include <utility>

namespace latchwork {

class PyRef {
public:
    PyRef() noexcept = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    // Takes ownership of a new reference (null allowed: an empty handle).
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Adds a reference of its own to a borrowed object.
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Gives the reference away; the handle is empty afterwards.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace latchwork
