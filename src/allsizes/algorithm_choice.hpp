#pragma once
// The counter "auto" runs, chosen from the shape of the data.

#include <cstdint>

#include "allsizes/all_sizes.hpp"
#include "common/inverted_index.hpp"

namespace tallyfold {

Algorithm choose_algorithm(const InvertedIndex& index, std::uint32_t min_count,
                           std::uint64_t max_len);

}  // namespace tallyfold
