#pragma once
// The functions of the package's native module, tallyfold._engine (engine_module.cpp).
#include "entry_point.hpp"

namespace tallyfold {

const EntryPoint& mine_itemsets_entry();
const EntryPoint& itemsets_to_frozensets_entry();
const EntryPoint& generate_rules_entry();
const EntryPoint& count_itemsets_entry();
const EntryPoint& keep_target_entry();

// tallyfold._engine.LimitReached, raised when a run stops at one of its caller's limits.
// Borrowed reference, created at module initialisation.
PyObject* limit_reached_type();

}  // namespace tallyfold
