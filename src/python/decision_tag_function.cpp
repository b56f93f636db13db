// decision_tag_function.cpp: decision_tag(secret, run_id, effect_key, approved) for Python.
#include "python/decision_tag_function.h"

#include <string>
#include <string_view>

#include "hmac/decision_tag.h"
#include "python/call_frame.h"
#include "python/py_ref.h"

namespace latchwork {
namespace {

std::string decision_tag(SecretBytes& secret, std::string_view run_id,
                         std::string_view effect_key, bool approved) {
    return compute_decision_tag(secret.view(), run_id, effect_key, approved);
}

constexpr const char* kParameterNames[] = {"secret", "run_id", "effect_key", "approved"};
constexpr ParamSpec kDecisionTagSpec{"decision_tag()", kParameterNames, 4};

// The interpreter keeps a pointer to the definition for the life of the function.
PyMethodDef decision_tag_definition = {
    "decision_tag",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
        function_entry<kDecisionTagSpec, decision_tag, ByteSequenceParam, TextParam, TextParam,
                       FlagParam>)),
    METH_FASTCALL | METH_KEYWORDS,
    "decision_tag(secret, run_id, effect_key, approved)\n--\n\n",
};

}  // namespace

PyObject* decision_tag_function_for_registration(PyObject* module) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) return nullptr;
    PyRef owned_name = PyRef::steal(module_name);
    PyObject* function = PyCFunction_NewEx(&decision_tag_definition, module, module_name);
    return function != nullptr ? function : fail_from_interpreter();
}

}  // namespace latchwork
