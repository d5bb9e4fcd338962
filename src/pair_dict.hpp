#pragma once
// The ten pair columns (plus "n_transactions" when given) as a dict of new 1-D arrays.
#include <optional>

#include "numpy_api.hpp"
#include "pairs/pair_out.hpp"

namespace tallyfold {

PyObject* build_pair_dict(PairOut&& rows, std::optional<std::uint32_t> n_transactions);

}  // namespace tallyfold
