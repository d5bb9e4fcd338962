#include "params.hpp"

#include <utility>

#include "convert.hpp"

namespace tallyfold {

namespace {

// A list is copied to a tuple: converting the labels may run Python code (their hashes),
// which must not be able to resize the sequence being read.
bool convert_label_sequence(PyObject* obj, ArgValue& out) {
  if (PyTuple_CheckExact(obj)) {
    out.object = obj;
    return true;
  }
  if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "expected a list or tuple, got %s", Py_TYPE(obj)->tp_name);
    return false;
  }
  out.owned = PySequence_Tuple(obj);
  out.object = out.owned;
  return out.owned != nullptr;
}

}  // namespace

std::optional<ParamKind> param_kind(std::string_view name) {
  static constexpr std::pair<std::string_view, ParamKind> kTable[] = {
      {"txn_ids", ParamKind::Int64Vector},
      {"item_ids", ParamKind::Int32Vector},
      {"freq_lower", ParamKind::Int32Matrix},
      {"item_weights", ParamKind::Float64Vector},
      {"k_max", ParamKind::Unsigned64},
      {"k", ParamKind::Unsigned64},
      {"n_items", ParamKind::Unsigned32},
      {"n_transactions", ParamKind::Unsigned32},
      {"_n_transactions", ParamKind::Unsigned32},
      {"min_support", ParamKind::Float64},
      {"max_items_per_txn", ParamKind::OptionalUnsigned64},
      {"min_count", ParamKind::Unsigned32},
      {"max_len", ParamKind::Unsigned64},
      {"threads", ParamKind::Unsigned32},
      {"algorithm", ParamKind::String},
      {"target", ParamKind::String},
      {"metric", ParamKind::String},
      {"items", ParamKind::Int32Vector},
      {"offsets", ParamKind::Int64Vector},
      {"supports", ParamKind::Float64Vector},
      {"counts", ParamKind::Int64Vector},
      {"labels", ParamKind::LabelSequence},
      {"min_threshold", ParamKind::Float64},
      {"support_only", ParamKind::Flag},
      {"max_itemsets", ParamKind::Unsigned64},
      {"max_bytes", ParamKind::Unsigned64},
      {"progress", ParamKind::OptionalCallable},
  };
  for (const auto& [known, kind] : kTable)
    if (known == name) return kind;
  return std::nullopt;
}

bool convert_param(ParamKind kind, PyObject* obj, ArgValue& out) {
  if (obj == nullptr) {  // omitted optional parameter: its default
    out.present = false;
    out.f64 = 0.0;
    return true;
  }
  out.present = true;
  switch (kind) {
    case ParamKind::Int64Vector:
      return convert_array(obj, NPY_INT64, 1, &out.array);
    case ParamKind::Int32Vector:
      return convert_array(obj, NPY_INT32, 1, &out.array);
    case ParamKind::Int32Matrix:
      return convert_array(obj, NPY_INT32, 2, &out.array);
    case ParamKind::Float64Vector:
      return convert_array(obj, NPY_FLOAT64, 1, &out.array);
    case ParamKind::Unsigned64:
      return convert_u64(obj, &out.u64);
    case ParamKind::Unsigned32:
      return convert_u32(obj, &out.u32);
    case ParamKind::Float64:
      return convert_f64(obj, &out.f64);
    case ParamKind::OptionalUnsigned64:
      if (obj == Py_None) {
        out.present = false;
        return true;
      }
      return convert_u64(obj, &out.u64);
    case ParamKind::String:
      if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "expected str, got %s", Py_TYPE(obj)->tp_name);
        return false;
      }
      out.object = obj;
      return true;
    case ParamKind::LabelSequence:
      return convert_label_sequence(obj, out);
    case ParamKind::Flag:
      if (!PyBool_Check(obj) && !PyArray_IsScalar(obj, Bool)) {
        PyErr_Format(PyExc_TypeError, "expected bool, got %s", Py_TYPE(obj)->tp_name);
        return false;
      }
      out.flag = PyObject_IsTrue(obj) == 1;
      return true;
    case ParamKind::OptionalCallable:
      if (obj == Py_None) {
        out.present = false;
        return true;
      }
      if (!PyCallable_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "expected None or a callable, got %s",
                     Py_TYPE(obj)->tp_name);
        return false;
      }
      out.object = obj;
      return true;
  }
  PyErr_SetString(PyExc_SystemError, "unknown parameter kind");
  return false;
}

}  // namespace tallyfold
