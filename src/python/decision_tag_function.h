// decision_tag_function.h: the module function decision_tag.
#pragma once

#include "python/python_api.h"

namespace latchwork {

// A new built-in function bound to `module`, or null with the exception set.
PyObject* decision_tag_function_for_registration(PyObject* module);

}  // namespace latchwork
