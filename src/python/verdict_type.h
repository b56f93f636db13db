// verdict_type.h: the Verdict class and how the module makes verdicts.
#pragma once

#include "python/python_api.h"

#include <string_view>

#include "gate/verdict_kind.h"

namespace latchwork {

// A new reference to the Verdict type for registration, or null with the exception set.
PyObject* verdict_type_for_registration();

// A new Verdict owning a copy of `kind`; null with an exception set if allocation fails.
PyObject* new_verdict(std::string_view kind);

// The result conversion for the in-process gate's answers.
inline PyObject* to_python(VerdictKind kind) { return new_verdict(verdict_kind_text(kind)); }

}  // namespace latchwork
