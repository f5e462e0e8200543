// The engine's arrow functions: glue between Python and the kernels (placeholder until built).
#pragma once
#include <Python.h>

#define LUMORA_ENGINE_ARROW_METHODS

namespace lumora {
inline int engine_arrow_exec(PyObject*) { return 0; }
}  // namespace lumora
