#pragma once
// One exported function: its parameter list, its C function and its docstring. The module
// registers the entry points in a fixed order (module.cpp).
#include "binder.hpp"

namespace tallyfold {

using FastCallFunction = PyObject* (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

struct EntryPoint {
  Signature* signature;
  FastCallFunction function;
  const char* doc;  // starts with the signature line and "--" for inspect.signature
};

const EntryPoint& rust_compute_pairs_entry();
const EntryPoint& rust_compute_itemsets_entry();
const EntryPoint& rust_compute_pipeline_entry();
const EntryPoint& rust_compute_pipeline_v1_roaring_entry();
const EntryPoint& rust_compute_pipeline_v2_memo_entry();
const EntryPoint& rust_compute_pipeline_v3_adaptive_entry();
const EntryPoint& rust_compute_pipeline_v5_prefilter_entry();
const EntryPoint& rust_compute_pipeline_v6_gating_entry();
const EntryPoint& rust_eclat_pipeline_entry();
const EntryPoint& rust_classic_compute_pairs_entry();
const EntryPoint& rust_classic_compute_pipeline_entry();

}  // namespace tallyfold
