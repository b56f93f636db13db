// gate_client_type.h: the GateClient class, a gate server reached over TCP.
#pragma once

#include "python/python_api.h"

namespace latchwork {

// A new reference to the GateClient type for registration, or null with the exception set.
PyObject* gate_client_type_for_registration();

}  // namespace latchwork
