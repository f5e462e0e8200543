// _engine: the native engine behind lumora.Corpus and lumora.Table. Analyses run over the token
// arrays on a pool of threads with the interpreter lock released and write their results into
// column buffers; tables leave through the Arrow C data and stream interfaces.
//
// Each area keeps its glue in a header of glue/ and lists its functions in a macro of method
// definitions, gathered into the one method table below.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "lumora/glue/engine_arrow.hpp"
#include "lumora/glue/engine_clusters.hpp"
#include "lumora/glue/engine_counts.hpp"
#include "lumora/glue/engine_ngrams.hpp"
#include "lumora/glue/engine_query.hpp"
#include "lumora/glue/engine_stats.hpp"

namespace lumora {
namespace {

PyMethodDef engine_methods[] = {
    LUMORA_ENGINE_ARROW_METHODS
    LUMORA_ENGINE_CLUSTER_METHODS
    LUMORA_ENGINE_COUNT_METHODS
    LUMORA_ENGINE_NGRAM_METHODS
    LUMORA_ENGINE_QUERY_METHODS
    LUMORA_ENGINE_STATS_METHODS
    {nullptr, nullptr, 0, nullptr}};

int engine_exec(PyObject* m) {
  if (engine_arrow_exec(m) < 0) return -1;
  if (engine_clusters_exec(m) < 0) return -1;
  if (engine_counts_exec(m) < 0) return -1;
  if (engine_ngrams_exec(m) < 0) return -1;
  if (engine_query_exec(m) < 0) return -1;
  if (engine_stats_exec(m) < 0) return -1;
  return 0;
}

PyModuleDef_Slot engine_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(engine_exec)},
                                   {0, nullptr}};

PyModuleDef engine_def = {
    PyModuleDef_HEAD_INIT,
    "_engine",                                                      // m_name
    "lumora's native engine: analyses over token arrays, columns, Arrow export.",  // m_doc
    0,                                                              // m_size
    engine_methods,                                                 // m_methods
    engine_slots,                                                   // m_slots
    nullptr,                                                        // m_traverse
    nullptr,                                                        // m_clear
    nullptr,                                                        // m_free
};

}  // namespace
}  // namespace lumora

#if defined(_WIN32)
extern "C" __declspec(dllexport) PyObject* PyInit__engine(void) {
#else
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__engine(void) {
#endif
  return PyModuleDef_Init(&lumora::engine_def);
}
