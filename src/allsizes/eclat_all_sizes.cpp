#include "allsizes/eclat_all_sizes.hpp"

#include <limits>
#include <utility>

#include "eclat/eclat.hpp"

namespace tallyfold {

ItemsetRows eclat_all_sizes(const InvertedIndex& index, std::uint32_t min_count,
                            std::uint64_t max_len) {
  const std::vector<ItemNode> nodes = eclat_item_nodes(index, min_count);
  const std::uint64_t k_max = max_len == 0 ? std::numeric_limits<std::uint64_t>::max() : max_len;
  EclatOut out = mine_eclat(index, nodes, k_max, min_count, /*all_sizes=*/true);

  // The search's rows are taken over as they are; only the lengths become offsets and the
  // counts widen, each freed as soon as it is converted so that the peak stays near one copy.
  ItemsetRows rows;
  rows.items = std::move(out.itemsets);
  rows.offsets.resize(out.lengths.size() + 1);
  std::int64_t end = 0;
  for (std::size_t r = 0; r < out.lengths.size(); ++r) {
    end += out.lengths[r];
    rows.offsets[r + 1] = end;
  }
  std::vector<std::uint32_t>().swap(out.lengths);
  rows.counts.assign(out.counts.begin(), out.counts.end());
  return rows;
}

}  // namespace tallyfold
