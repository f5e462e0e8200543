// The engine's ngrams functions: glue between Python and the kernels (placeholder until built).
#pragma once
#include <Python.h>

#define LUMORA_ENGINE_NGRAM_METHODS

namespace lumora {
inline int engine_ngrams_exec(PyObject*) { return 0; }
}  // namespace lumora
