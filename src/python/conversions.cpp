// conversions.cpp: text, flag and byte-sequence conversion of arguments.
#include "python/conversions.h"

#include <algorithm>
#include <climits>
#include <string>

#include "python/call_boundary.h"
#include "python/py_ref.h"

namespace latchwork {
namespace {

// A sequence may claim any length (range(2**40) is refused at its 257th item), so no
// more than this is reserved on its word; a longer secret grows, wiping what it leaves.
constexpr std::size_t kMaxReservedSecretBytes = 4096;

// The type's __qualname__ as UTF-8, or the stand-in when it cannot be read as text.
std::string type_qualname(PyTypeObject* type) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type),
                                                     "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
            return std::string(text, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

bool text_equals(PyObject* object, const char* expected) {
    return object != nullptr && PyUnicode_Check(object) &&
           PyUnicode_CompareWithASCIIString(object, expected) == 0;
}

// numpy's bool scalar type, recognised by name so that numpy need not be imported.
bool is_numpy_bool(PyTypeObject* type) {
    PyObject* type_object = reinterpret_cast<PyObject*>(type);
    PyRef module = PyRef::steal(PyObject_GetAttrString(type_object, "__module__"));
    bool matches = text_equals(module.get(), "numpy");
    if (matches) {
        PyRef name = PyRef::steal(PyObject_GetAttrString(type_object, "__name__"));
        matches = text_equals(name.get(), "bool_") || text_equals(name.get(), "bool");
    }
    PyErr_Clear();  // a failed read counts as no match
    return matches;
}

// The attribute as stored in the class dictionaries along the type's MRO, the way the
// interpreter finds special methods: neither the instance nor the metaclass is asked.
// Empty with no exception set when no class defines it.
PyRef lookup_in_mro(PyObject* type, const char* name) {
    PyRef mro = PyRef::steal(PyObject_GetAttrString(type, "__mro__"));
    if (!mro) return {};
    PyRef classes = PyRef::steal(PySequence_Tuple(mro.get()));
    if (!classes) return {};
    for (Py_ssize_t i = 0; i < PyTuple_Size(classes.get()); ++i) {
        PyRef dict = PyRef::steal(PyObject_GetAttrString(PyTuple_GetItem(classes.get(), i),
                                                         "__dict__"));
        if (!dict) return {};
        PyRef found = PyRef::steal(PyMapping_GetItemString(dict.get(), name));
        if (found || !PyErr_ExceptionMatches(PyExc_KeyError)) return found;
        PyErr_Clear();
    }
    return {};
}

bool convert_numpy_bool(PyObject* object, bool& flag) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    PyRef method = lookup_in_mro(type, "__bool__");
    if (!method) {
        if (PyErr_Occurred()) return false;
        PyRef type_text = PyRef::steal(PyObject_Str(type));
        if (!type_text) return false;
        PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                     type_text.get());
        return false;
    }
    // Bound to the instance as the interpreter binds special methods, so a staticmethod
    // or classmethod __bool__ is called the way bool() would call it.
    auto bind = reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(method.get()),
                                                              Py_tp_descr_get));
    if (bind != nullptr) {
        method = PyRef::steal(bind(method.get(), object, type));
        if (!method) return false;
    }
    PyRef result = PyRef::steal(PyObject_CallNoArgs(method.get()));
    if (!result) return false;
    if (!PyBool_Check(result.get())) {
        raise_conversion_refusal(result.get(), "PyBool");
        return false;
    }
    flag = result.get() == Py_True;
    return true;
}

bool convert_byte_item(PyObject* item, std::uint8_t& byte) {
    long value;
    if (PyLong_Check(item)) {
        value = PyLong_AsLong(item);
    } else {
        PyRef index = PyRef::steal(PyNumber_Index(item));
        if (!index) return false;
        value = PyLong_AsLong(index.get());
    }
    if (value == -1 && PyErr_Occurred()) return false;  // beyond a C long: the interpreter's own
    if (value < 0 || value > 255) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    byte = static_cast<std::uint8_t>(value);
    return true;
}

}  // namespace

void raise_conversion_refusal(PyObject* object, const char* target) {
    std::string message = "'";
    message += type_qualname(Py_TYPE(object));
    message += "' object cannot be converted to '";
    message += target;
    message += '\'';
    PyRef text = PyRef::steal(must(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()))));
    PyErr_SetObject(PyExc_TypeError, text.get());
}

void name_argument_in_error(const char* name) {
    if (!PyErr_Occurred()) {
        fail_from_interpreter();
        return;
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type), owned_value = PyRef::steal(value),
          owned_traceback = PyRef::steal(traceback);
    if (type != PyExc_TypeError || value == nullptr) {
        PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
        return;
    }
    PyRef text = PyRef::steal(PyObject_Str(value));
    if (!text) return;  // str() itself failed: that error stands
    PyRef message = PyRef::steal(must(PyUnicode_FromFormat("argument '%s': %U", name, text.get())));
    PyRef named = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!named) return;
    if (PyObject* cause = PyException_GetCause(value)) PyException_SetCause(named.get(), cause);
    PyErr_SetObject(PyExc_TypeError, named.get());
}

bool convert_text(PyObject* object, std::string_view& text) {
    // The exact type first: under the limited API the subclass test is a call.
    if (Py_TYPE(object) != &PyUnicode_Type && !PyUnicode_Check(object)) {
        raise_conversion_refusal(object, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) return false;  // a lone surrogate: the interpreter's UnicodeEncodeError
    text = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool convert_flag(PyObject* object, bool& flag) {
    if (object == Py_True || object == Py_False) {
        flag = object == Py_True;
        return true;
    }
    if (is_numpy_bool(Py_TYPE(object))) return convert_numpy_bool(object, flag);
    raise_conversion_refusal(object, "PyBool");
    return false;
}

bool convert_byte_sequence(PyObject* object, SecretBytes& bytes) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    // Exact bytes and bytearray iterate to their own bytes; copy them directly.
    if (PyBytes_CheckExact(object)) {
        bytes.assign({reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(object)),
                      static_cast<std::size_t>(PyBytes_Size(object))});
        return true;
    }
    if (PyByteArray_CheckExact(object)) {
        bytes.assign({reinterpret_cast<const std::uint8_t*>(PyByteArray_AsString(object)),
                      static_cast<std::size_t>(PyByteArray_Size(object))});
        return true;
    }
    if (!PySequence_Check(object)) {
        raise_conversion_refusal(object, "Sequence");
        return false;
    }
    Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) PyErr_Clear();  // only a hint for reserving room
    else bytes.reserve(std::min(static_cast<std::size_t>(hint), kMaxReservedSecretBytes));

    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        std::uint8_t byte = 0;
        if (!convert_byte_item(item.get(), byte)) return false;
        bytes.push_back(byte);
    }
    return !PyErr_Occurred();
}

}  // namespace latchwork
