#include "allsizes/algorithm_choice.hpp"

namespace tallyfold {

Algorithm choose_algorithm(const InvertedIndex& index, std::uint32_t min_count,
                           std::uint64_t max_len) {
  return Algorithm::Eclat;
}

}  // namespace tallyfold
