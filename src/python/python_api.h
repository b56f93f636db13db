// python_api.h: the one place the interpreter's headers come in, limited API only.
#pragma once

#ifndef Py_LIMITED_API
#error "latchwork is built against the limited API; Py_LIMITED_API must be defined"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>
