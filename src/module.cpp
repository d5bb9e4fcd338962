// Module initialisation: registers the exported functions in their fixed order.
#define TALLYFOLD_IMPORT_NUMPY
#include "numpy_api.hpp"

#include <vector>

#include "entry_point.hpp"
#include "errors.hpp"
#include "py_ref.hpp"

namespace tallyfold {
namespace {

const EntryPoint* const* entry_points(std::size_t& count) {
  static const EntryPoint* entries[] = {
      &rust_compute_pairs_entry(),
      &rust_compute_itemsets_entry(),
      &rust_compute_pipeline_entry(),
      &rust_compute_pipeline_v1_roaring_entry(),
      &rust_compute_pipeline_v2_memo_entry(),
      &rust_compute_pipeline_v3_adaptive_entry(),
      &rust_compute_pipeline_v5_prefilter_entry(),
      &rust_compute_pipeline_v6_gating_entry(),
      &rust_eclat_pipeline_entry(),
      &rust_classic_compute_pairs_entry(),
      &rust_classic_compute_pipeline_entry(),
  };
  count = sizeof(entries) / sizeof(entries[0]);
  return entries;
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_tallyfold", nullptr, -1, nullptr,
                          nullptr, nullptr, nullptr, nullptr};

// The module is created once per process and bound to the interpreter that first imports it.
PyObject* the_module = nullptr;
PyInterpreterState* owning_interpreter = nullptr;

bool add_function(PyObject* module, PyObject* all, const EntryPoint& entry) {
  if (!prepare_signature(*entry.signature)) return false;
  // The method definition must outlive the function object: keep one per entry for good.
  auto* def = new PyMethodDef{entry.signature->name,
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(entry.function)),
                              METH_FASTCALL | METH_KEYWORDS, entry.doc};
  PyRef module_name(PyUnicode_FromString("_tallyfold"));
  if (!module_name) return false;
  PyRef function(PyCMethod_New(def, module, module_name.get(), nullptr));
  if (!function) return false;
  if (PyObject_SetAttrString(module, entry.signature->name, function.get()) < 0) return false;
  PyRef name(PyUnicode_FromString(entry.signature->name));
  return name && PyList_Append(all, name.get()) == 0;
}

PyObject* create_module() {
  PyRef module(PyModule_Create(&module_def));
  if (!module) return nullptr;
  PyRef all(PyList_New(0));
  if (!all) return nullptr;
  std::size_t count = 0;
  const EntryPoint* const* entries = entry_points(count);
  for (std::size_t i = 0; i < count; ++i)
    if (!add_function(module.get(), all.get(), *entries[i])) return nullptr;
  if (PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
  PyObject* panic_type = panic_exception_type();
  if (panic_type == nullptr || PyModule_AddObjectRef(module.get(), "PanicException", panic_type) < 0)
    return nullptr;
  return module.release();
}

}  // namespace
}  // namespace tallyfold

PyMODINIT_FUNC PyInit__tallyfold(void) {
  using namespace tallyfold;
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  if (the_module != nullptr) {
    if (interpreter != owning_interpreter) {
      PyErr_SetString(PyExc_ImportError,
                      "_tallyfold does not support sub-interpreters: it is already bound to "
                      "another interpreter of this process");
      return nullptr;
    }
    Py_INCREF(the_module);
    return the_module;
  }
  if (_import_array() < 0) return nullptr;
  PyObject* module = create_module();
  if (module == nullptr) return nullptr;
  Py_INCREF(module);  // the process-wide reference
  the_module = module;
  owning_interpreter = interpreter;
  return module;
}
