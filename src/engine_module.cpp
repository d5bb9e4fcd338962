// Initialisation of tallyfold._engine, the package's native module: the all-sizes miner, the
// decoder to frozensets, rule generation, and the counting of given itemsets with the
// closed/maximal filter for results assembled from parts. It shares the boundary (binding, conversion,
// fault translation) with _tallyfold and raises _tallyfold's PanicException for internal
// faults, so one except clause covers both modules.
#define TALLYFOLD_IMPORT_NUMPY
#include "numpy_api.hpp"

#include "engine_entry_points.hpp"
#include "errors.hpp"
#include "py_ref.hpp"

namespace tallyfold {
namespace {

constexpr const char* kModuleName = "tallyfold._engine";

PyObject* limit_reached = nullptr;  // a strong reference, kept for the process

int exec_module(PyObject* module) {
  if (_import_array() < 0) return -1;
  PyRef core(PyImport_ImportModule("_tallyfold"));
  if (!core) return -1;
  PyRef panic(PyObject_GetAttrString(core.get(), "PanicException"));
  if (!panic || !share_panic_exception_type(panic.get())) return -1;

  const EntryPoint* entries[] = {&mine_itemsets_entry(), &itemsets_to_frozensets_entry(),
                                 &generate_rules_entry(), &count_itemsets_entry(),
                                 &keep_target_entry()};
  PyRef all(PyList_New(0));
  PyRef module_name(PyUnicode_FromString(kModuleName));
  if (!all || !module_name) return -1;
  for (const EntryPoint* entry : entries) {
    if (!prepare_signature(*entry->signature)) return -1;
    // The method definition must outlive the function object: one per entry, for good.
    auto* method = new PyMethodDef{
        entry->signature->name,
        reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(entry->function)),
        METH_FASTCALL | METH_KEYWORDS, entry->doc};
    PyRef function(PyCMethod_New(method, module, module_name.get(), nullptr));
    if (!function || PyObject_SetAttrString(module, entry->signature->name, function.get()) < 0)
      return -1;
    PyRef name(PyUnicode_FromString(entry->signature->name));
    if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
  }
  if (PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;
  if (limit_reached == nullptr) {
    limit_reached = PyErr_NewExceptionWithDoc(
        "tallyfold._engine.LimitReached",
        "A run stopped at its caller's limit on itemsets or memory; args are (kind, "
        "levels_done, itemsets_found, bytes_estimate, done, total).",
        PyExc_Exception, nullptr);
    if (limit_reached == nullptr) return -1;
  }
  if (PyModule_AddObjectRef(module, "LimitReached", limit_reached) < 0) return -1;
  return PyModule_AddObjectRef(module, "PanicException", panic.get());
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, kModuleName, nullptr, -1, nullptr,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyObject* limit_reached_type() { return limit_reached; }

}  // namespace tallyfold

PyMODINIT_FUNC PyInit__engine(void) {
  PyObject* module = PyModule_Create(&tallyfold::module_def);
  if (module == nullptr) return nullptr;
  if (tallyfold::exec_module(module) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
