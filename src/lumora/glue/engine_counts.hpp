// The engine's counts functions: glue between Python and the kernels (placeholder until built).
#pragma once
#include <Python.h>

#define LUMORA_ENGINE_COUNT_METHODS

namespace lumora {
inline int engine_counts_exec(PyObject*) { return 0; }
}  // namespace lumora
