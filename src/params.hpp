#pragma once
// The parameter table: a parameter name converts the same way in every function that has it.
#include <optional>
#include <string_view>

#include "binder.hpp"

namespace tallyfold {

enum class ParamKind {
  Int64Vector,    // txn_ids
  Int32Vector,    // item_ids
  Int32Matrix,    // freq_lower
  Float64Vector,  // item_weights
  Unsigned64,     // k_max, k
  Unsigned32,     // n_items, n_transactions, _n_transactions
  Float64,        // min_support (0.0 when omitted)
  OptionalUnsigned64,  // max_items_per_txn (None and omitted both mean "no cap")
  String,         // algorithm, target, metric: a str
  LabelSequence,  // labels: a list or tuple, held as a tuple
  Flag,           // support_only: a bool (or a NumPy bool)
  OptionalCallable,  // progress: None (and omitted) or any callable
};

std::optional<ParamKind> param_kind(std::string_view name);

// Converts `obj` (NULL when the optional parameter was omitted) into `out`.
bool convert_param(ParamKind kind, PyObject* obj, ArgValue& out);

}  // namespace tallyfold
