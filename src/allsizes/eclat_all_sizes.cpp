#include "allsizes/eclat_all_sizes.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "common/cancel.hpp"
#include "eclat/eclat.hpp"

namespace tallyfold {

ItemsetCsr eclat_all_sizes(const InvertedIndex& index, std::uint32_t min_count,
                            std::uint64_t max_len, RunMonitor* monitor) {
  const std::vector<ItemNode> nodes = eclat_item_nodes(index, min_count);
  if (max_len == 1) {
    // The item counts are the whole answer: no search, no ranked copy of the data.
    ItemsetCsr rows;
    for (const ItemNode& node : nodes) {
      const std::uint32_t item[1] = {node.item};
      rows.append(item, static_cast<std::int64_t>(node.tids.size()));
    }
    if (monitor != nullptr) monitor->add_rows(rows.size(), rows.size());
    return rows;
  }
  const std::uint64_t k_max = max_len == 0 ? std::numeric_limits<std::uint64_t>::max() : max_len;
  std::vector<EclatOut> parts = mine_eclat_by_item(index, nodes, k_max, min_count, true, monitor);

  // Each item's rows go straight to their place in the result (lengths become offsets,
  // counts widen), and each part is freed once copied: no merged copy of the whole result
  // ever exists beside it.
  std::vector<std::size_t> item_start(parts.size() + 1, 0), row_start(parts.size() + 1, 0);
  for (std::size_t p = 0; p < parts.size(); ++p) {
    item_start[p + 1] = item_start[p] + parts[p].itemsets.size();
    row_start[p + 1] = row_start[p] + parts[p].counts.size();
  }
  ItemsetCsr rows;
  rows.items.resize(item_start.back());
  rows.offsets.resize(row_start.back() + 1);
  rows.counts.resize(row_start.back());
  rows.offsets[0] = 0;
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, parts.size(), 1),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t p = range.begin(); p != range.end(); ++p) {
                        EclatOut& part = parts[p];
                        std::copy(part.itemsets.begin(), part.itemsets.end(),
                                  rows.items.begin() + item_start[p]);
                        std::int64_t end = static_cast<std::int64_t>(item_start[p]);
                        const std::size_t base = row_start[p];
                        for (std::size_t r = 0; r < part.counts.size(); ++r) {
                          end += part.lengths[r];
                          rows.offsets[base + r + 1] = end;
                          rows.counts[base + r] = part.counts[r];
                        }
                        part = EclatOut{};
                      }
                    });
  throw_if_cancelled();  // a cancelled copy leaves rows unfilled
  return rows;
}

}  // namespace tallyfold
