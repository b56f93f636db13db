// gate_type.h: the in-process Gate class.
#pragma once

#include "python/python_api.h"

namespace latchwork {

// A new reference to the Gate type for registration, or null with the exception set.
PyObject* gate_type_for_registration();

}  // namespace latchwork
