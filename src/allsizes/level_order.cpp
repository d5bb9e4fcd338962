#include "allsizes/level_order.hpp"

#include <algorithm>

#include "common/panic.hpp"

namespace tallyfold {

namespace {

// Each level sorted, with a cursor: the rows of level k + 1 that extend one row of level k
// are consecutive in sorted order, and their groups follow the order of those rows, so one
// forward cursor per level walks the whole tree depth first.
struct SortedLevel {
  const ItemsetTable* table;
  std::vector<std::uint32_t> order;
  std::size_t next = 0;
};

bool extends(std::span<const std::uint32_t> row, std::span<const std::uint32_t> prefix) {
  return std::equal(prefix.begin(), prefix.end(), row.begin());
}

void emit_subtree(std::vector<SortedLevel>& levels, std::size_t k, std::uint32_t r,
                  ItemsetCsr& out) {
  const auto row = levels[k].table->row(r);
  out.append(row, levels[k].table->count(r));
  if (k + 1 == levels.size()) return;
  SortedLevel& below = levels[k + 1];
  while (below.next < below.order.size() &&
         extends(below.table->row(below.order[below.next]), row))
    emit_subtree(levels, k + 1, below.order[below.next++], out);
}

}  // namespace

ItemsetCsr join_levels_in_lexicographic_order(std::vector<ItemsetTable>&& tables) {
  std::vector<SortedLevel> levels;
  std::size_t rows = 0, items = 0;
  for (const ItemsetTable& t : tables) {
    if (t.empty()) break;
    levels.push_back({&t, t.sorted_rows(), 0});
    rows += t.size();
    items += t.size() * t.width();
  }
  ItemsetCsr out;
  out.items.reserve(items);
  out.offsets.reserve(rows + 1);
  out.counts.reserve(rows);
  if (!levels.empty()) {
    SortedLevel& top = levels[0];
    while (top.next < top.order.size()) emit_subtree(levels, 0, top.order[top.next++], out);
  }
  if (out.size() != rows) throw Panic("a level holds an itemset whose prefix is not frequent");
  return out;
}

}  // namespace tallyfold
