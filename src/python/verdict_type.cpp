// verdict_type.cpp: Verdict, an immutable kind string with three predicates.
#include "python/verdict_type.h"

#include <cstring>
#include <string>

#include "python/call_frame.h"
#include "python/py_ref.h"
#include "python/type_cell.h"

#include <new>

namespace latchwork {
namespace {

// The verdict's own copy of its kind. Every kind the in-process gate gives fits
// inline, so making one of those costs no allocation beyond the object itself.
class KindText {
public:
    explicit KindText(std::string_view text) : size_(text.size()) {
        char* target = inline_;
        if (size_ > sizeof inline_) target = heap_ = new char[size_];
        if (size_ > 0) std::memcpy(target, text.data(), size_);
    }
    ~KindText() { delete[] heap_; }
    KindText(const KindText&) = delete;
    KindText& operator=(const KindText&) = delete;

    std::string_view view() const noexcept {
        return {heap_ != nullptr ? heap_ : inline_, size_};
    }

private:
    std::size_t size_;
    char* heap_ = nullptr;
    char inline_[24];
};

struct VerdictObject {
    PyObject_HEAD
    KindText native;

    static constexpr const char* kClassName = "Verdict";
    static PyTypeObject* type();
};

constexpr std::string_view kRefusedPrefix = "refused_";

std::string_view kind_of(VerdictObject& verdict) { return verdict.native.view(); }

bool is_released(VerdictObject& verdict) { return kind_of(verdict) == "release"; }
bool is_held(VerdictObject& verdict) { return kind_of(verdict) == "held_for_approval"; }
bool is_refused(VerdictObject& verdict) { return kind_of(verdict).starts_with(kRefusedPrefix); }

std::string verdict_repr(VerdictObject& verdict) {
    // The kind goes in verbatim: nothing is escaped.
    std::string text = "Verdict('";
    text += kind_of(verdict);
    text += "')";
    return text;
}

PyObject* verdict_str_entry(PyObject* self) {
    return noargs_entry<VerdictObject, kind_of>(self, nullptr);
}

PyObject* verdict_repr_entry(PyObject* self) {
    return noargs_entry<VerdictObject, verdict_repr>(self, nullptr);
}

// Equal to a verdict of the same kind or to the str of its kind; never ordered.
PyObject* verdict_richcompare_entry(PyObject* self, PyObject* other, int op) {
    return call_boundary([&]() -> PyObject* {
        VerdictObject* verdict = checked_receiver<VerdictObject>(self);
        if (verdict == nullptr) return nullptr;
        if (op < Py_LT || op > Py_GE) return Py_NewRef(Py_NotImplemented);
        if (op != Py_EQ && op != Py_NE) return to_python(false);

        bool equal = false;
        if (PyUnicode_Check(other)) {
            Py_ssize_t size = 0;
            if (const char* text = PyUnicode_AsUTF8AndSize(other, &size)) {
                equal = kind_of(*verdict) == std::string_view(text, static_cast<std::size_t>(size));
            } else {
                PyErr_Clear();  // not encodable: it has no kind, so it is simply unequal
            }
        } else if (PyType_IsSubtype(Py_TYPE(other), VerdictObject::type())) {
            equal = kind_of(*verdict) == kind_of(*reinterpret_cast<VerdictObject*>(other));
        }
        return to_python(op == Py_EQ ? equal : !equal);
    });
}

PyObject* verdict_refusing_new(PyTypeObject* type, PyObject*, PyObject*) {
    return call_boundary([&]() -> PyObject* {
        PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type),
                                                         "__name__"));
        if (!name || !PyUnicode_Check(name.get())) {
            PyErr_Clear();
            name = PyRef::steal(must(PyUnicode_FromString("<unknown>")));
        }
        PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
        return nullptr;
    });
}

PyGetSetDef verdict_getset[] = {
    {"kind", getter_entry<VerdictObject, kind_of>, nullptr, "", nullptr},
    {"released", getter_entry<VerdictObject, is_released>, nullptr, "", nullptr},
    {"held", getter_entry<VerdictObject, is_held>, nullptr, "", nullptr},
    {"refused", getter_entry<VerdictObject, is_refused>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Memory of dropped verdicts, kept for the next ones. Only touched under the
// interpreter lock.
class VerdictPool {
public:
    bool empty() const noexcept { return count_ == 0; }
    bool full() const noexcept { return count_ == kCapacity; }
    PyObject* take() noexcept { return slots_[--count_]; }
    void keep(PyObject* memory) noexcept { slots_[count_++] = memory; }

private:
    static constexpr int kCapacity = 32;
    PyObject* slots_[kCapacity];
    int count_ = 0;
};
VerdictPool verdict_pool;

void verdict_dealloc(PyObject* self) noexcept {
    if (verdict_pool.full()) {
        dealloc_instance<VerdictObject>(self);
        return;
    }
    destroy_native<VerdictObject>(self);
    verdict_pool.keep(self);
    Py_DECREF(Py_TYPE(self));  // as the memory were freed: PyObject_Init takes it again
}

PyType_Slot verdict_slots[] = {
    {Py_tp_str, reinterpret_cast<void*>(verdict_str_entry)},
    {Py_tp_repr, reinterpret_cast<void*>(verdict_repr_entry)},
    {Py_tp_richcompare, reinterpret_cast<void*>(verdict_richcompare_entry)},
    {Py_tp_getset, verdict_getset},
    {Py_tp_new, reinterpret_cast<void*>(verdict_refusing_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(verdict_dealloc)},
};

const ClassSpec verdict_class{"Verdict", "latchwork.Verdict", "",
                              static_cast<int>(sizeof(VerdictObject)), verdict_slots};
TypeCell verdict_cell(verdict_class);

PyTypeObject* VerdictObject::type() { return verdict_cell.get(); }

}  // namespace

PyObject* verdict_type_for_registration() { return verdict_cell.get_or_create(); }

PyObject* new_verdict(std::string_view kind) {
    // Verdicts are made and dropped on every gate call; reusing the memory of dropped
    // ones (each reuse is still a fresh object) saves an allocation and a free.
    if (!verdict_pool.empty()) {
        PyObject* self = verdict_pool.take();
        new (&reinterpret_cast<VerdictObject*>(self)->native) KindText(kind);
        return PyObject_Init(self, VerdictObject::type());
    }
    return create_instance<VerdictObject>(VerdictObject::type(), kind);
}

}  // namespace latchwork
