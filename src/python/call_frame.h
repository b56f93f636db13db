// call_frame.h: the one path every Python call into the module takes.
//
// A callable is described by a static ParamSpec and a list of parameter kinds; the
// entry templates below bind the arguments, check the receiver, convert each
// argument in order, run the native operation and convert its result. The first
// failure ends the call before the operation runs, so a refused call changes nothing.
#pragma once

#include "python/python_api.h"

#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "python/call_boundary.h"
#include "python/conversions.h"
#include "support/secret_bytes.h"

namespace latchwork {

struct ParamSpec {
    const char* display_name;          // "Gate.submit()": how argument errors begin
    std::span<const char* const> names;  // every parameter, positional or keyword
    std::size_t required;              // the first `required` names must get a value
};

// Binding fills one borrowed slot per parameter, null for an omitted optional one.
// The vectorcall form (array and keyword-name tuple) serves methods and functions;
// the tuple-and-dict form serves constructors.
bool bind_arguments(const ParamSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);
bool bind_arguments(const ParamSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots);

// The common call, positional arguments only and the right number of them, binds
// without leaving the entry; everything else takes the full path with its errors.
inline bool bind_fast(const ParamSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject** slots) {
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) >= spec.required &&
        static_cast<std::size_t>(nargs) <= spec.names.size()) {
        for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
        return true;
    }
    return bind_arguments(spec, args, nargs, kwnames, slots);
}

// ---- parameter kinds --------------------------------------------------------------

struct TextParam {
    using Value = std::string_view;
    static bool convert(PyObject* object, Value& value) { return convert_text(object, value); }
};

template <const char* Default>
struct TextParamOr {
    using Value = std::string_view;
    static void set_default(Value& value) { value = Default; }
    static bool convert(PyObject* object, Value& value) { return convert_text(object, value); }
};

struct FlagParam {
    using Value = bool;
    static bool convert(PyObject* object, Value& value) { return convert_flag(object, value); }
};

struct FlagParamOrFalse : FlagParam {
    static void set_default(Value& value) { value = false; }
};

struct ByteSequenceParam {
    using Value = SecretBytes;
    static bool convert(PyObject* object, Value& value) {
        return convert_byte_sequence(object, value);
    }
};

// Left out or None: no secret at all (as opposed to an empty one).
struct OptionalSecretParam {
    using Value = std::optional<SecretBytes>;
    static void set_default(Value& value) { value.reset(); }
    static bool convert(PyObject* object, Value& value) {
        if (object == Py_None) {
            value.reset();
            return true;
        }
        return convert_byte_sequence(object, value.emplace());
    }
};

// ---- results ------------------------------------------------------------------------

struct NoResult {};

// New references; null with an exception set when creating the object failed.
PyObject* to_python(NoResult);
PyObject* to_python(bool value);
PyObject* to_python(std::uint64_t value);
PyObject* to_python(std::string_view text);

// ---- the frame ----
//
// The entries below are deliberately not noexcept: see call_boundary.------------------------------------------------------------------

template <class Param>
bool convert_parameter(const char* name, PyObject* slot, typename Param::Value& value) {
    if (slot == nullptr) {
        if constexpr (requires { Param::set_default(value); }) Param::set_default(value);
        return true;
    }
    if (Param::convert(slot, value)) return true;
    name_argument_in_error(name);
    return false;
}

template <class... Params, std::size_t... I>
bool convert_parameters(const ParamSpec& spec, PyObject* const* slots,
                        std::tuple<typename Params::Value...>& values,
                        std::index_sequence<I...>) {
    // Left to right; && stops at the first refusal.
    return (convert_parameter<Params>(spec.names[I], slots[I], std::get<I>(values)) && ...);
}

// Object is the C layout of an instance: it names its type and its class name.
template <class Object>
Object* checked_receiver(PyObject* self) {
    PyTypeObject* type = Object::type();
    if (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type)) {
        raise_conversion_refusal(self, Object::kClassName);
        return nullptr;
    }
    return reinterpret_cast<Object*>(self);
}

template <class Object, const ParamSpec& Spec, auto Operation, class... Params>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    return call_boundary([&]() -> PyObject* {
        PyObject* slots[sizeof...(Params)] = {};
        if (!bind_fast(Spec, args, nargs, kwnames, slots)) return nullptr;
        Object* receiver = checked_receiver<Object>(self);
        if (receiver == nullptr) return nullptr;
        std::tuple<typename Params::Value...> values;
        if (!convert_parameters<Params...>(Spec, slots, values,
                                           std::index_sequence_for<Params...>{})) {
            return nullptr;
        }
        return to_python(std::apply(
            [receiver](auto&... value) { return Operation(*receiver, value...); }, values));
    });
}

template <const ParamSpec& Spec, auto Operation, class... Params>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return call_boundary([&]() -> PyObject* {
        PyObject* slots[sizeof...(Params)] = {};
        if (!bind_fast(Spec, args, nargs, kwnames, slots)) return nullptr;
        std::tuple<typename Params::Value...> values;
        if (!convert_parameters<Params...>(Spec, slots, values,
                                           std::index_sequence_for<Params...>{})) {
            return nullptr;
        }
        return to_python(std::apply([](auto&... value) { return Operation(value...); }, values));
    });
}

// Construct receives the requested type and the converted values, and returns the
// new instance (or null with an exception set).
template <const ParamSpec& Spec, auto Construct, class... Params>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_boundary([&]() -> PyObject* {
        PyObject* slots[sizeof...(Params) + 1] = {};  // +1: a constructor may take none
        if (!bind_arguments(Spec, args, kwargs, slots)) return nullptr;
        std::tuple<typename Params::Value...> values;
        if (!convert_parameters<Params...>(Spec, slots, values,
                                           std::index_sequence_for<Params...>{})) {
            return nullptr;
        }
        return std::apply([type](auto&... value) { return Construct(type, value...); }, values);
    });
}

template <class Object, auto Operation>
PyObject* noargs_entry(PyObject* self, PyObject*) {
    return call_boundary([&]() -> PyObject* {
        Object* receiver = checked_receiver<Object>(self);
        if (receiver == nullptr) return nullptr;
        return to_python(Operation(*receiver));
    });
}

template <class Object, auto Operation>
PyObject* getter_entry(PyObject* self, void*) {
    return noargs_entry<Object, Operation>(self, nullptr);
}

// As a method table wants it: the fast-call entry of one method.
template <class Object, const ParamSpec& Spec, auto Operation, class... Params>
PyCFunction fastcall_method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
        method_entry<Object, Spec, Operation, Params...>));
}

// ---- instances --------------------------------------------------------------------
//
// Every class's instance is the object header followed by one native member named
// `native`, built in place after allocation and destroyed before the memory goes back.

// Allocates an instance of `type` through its own allocation slot. No class of the
// module can be subclassed, so the slot is looked up once per class.
template <class Object>
PyObject* allocate_own_instance(PyTypeObject* type) {
    static const allocfunc alloc = [type] {
        auto slot = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        return slot != nullptr ? slot : PyType_GenericAlloc;
    }();
    PyObject* instance = alloc(type, 0);
    return instance != nullptr ? instance : fail_from_interpreter();
}

// Returns an instance's memory and its reference to its type; the native data
// must already be destroyed.
template <class Object>
void free_own_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    static const freefunc free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DECREF(type);  // heap-type instances hold a reference to their type
}

// A new instance of `type` whose native member is built from `args`; if building
// throws, the memory goes back before the exception goes on.
template <class Object, class... Args>
PyObject* create_instance(PyTypeObject* type, Args&&... args) {
    PyObject* self = allocate_own_instance<Object>(type);
    if (self == nullptr) return nullptr;
    using Native = decltype(Object::native);
    try {
        new (&reinterpret_cast<Object*>(self)->native) Native(std::forward<Args>(args)...);
    } catch (...) {
        free_own_instance<Object>(self);
        throw;
    }
    return self;
}

template <class Object>
void destroy_native(PyObject* self) {
    using Native = decltype(Object::native);
    reinterpret_cast<Object*>(self)->native.~Native();
}

// The deallocation slot of a class whose native part needs nothing but destroying.
template <class Object>
void dealloc_instance(PyObject* self) noexcept {
    dealloc_boundary([self] { destroy_native<Object>(self); });
    free_own_instance<Object>(self);
}

}  // namespace latchwork
