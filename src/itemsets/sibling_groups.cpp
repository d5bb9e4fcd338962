#include "itemsets/sibling_groups.hpp"

#include <algorithm>
#include <utility>

#include "common/pair_triangle.hpp"

namespace tallyfold {

SiblingGroups sibling_groups(const ItemsetTable& frequent) {
  SiblingGroups groups;
  groups.rows = frequent.sorted_rows();
  const std::size_t shared = frequent.width() == 0 ? 0 : frequent.width() - 1;
  for (std::size_t i = 0; i < groups.rows.size(); ++i) {
    if (i > 0) {
      auto a = frequent.row(groups.rows[i - 1]).first(shared);
      auto b = frequent.row(groups.rows[i]).first(shared);
      if (std::equal(a.begin(), a.end(), b.begin())) continue;
    }
    groups.starts.push_back(static_cast<std::uint32_t>(i));
  }
  groups.starts.push_back(static_cast<std::uint32_t>(groups.rows.size()));
  return groups;
}

void SiblingCounter::mark(std::span<const std::uint32_t> siblings) {
  for (std::size_t i = 0; i < siblings.size(); ++i)
    position_[siblings[i]] = static_cast<std::uint32_t>(i + 1);
}

void SiblingCounter::unmark(std::span<const std::uint32_t> siblings) {
  for (std::uint32_t item : siblings) position_[item] = 0;
}

namespace {

void append(std::span<const std::uint32_t> prefix, std::uint32_t a, std::uint32_t b,
            std::uint32_t count, std::vector<std::uint32_t>& out_items,
            std::vector<std::uint32_t>& out_counts) {
  out_items.insert(out_items.end(), prefix.begin(), prefix.end());
  out_items.push_back(a);
  out_items.push_back(b);
  out_counts.push_back(count);
}

}  // namespace

void SiblingCounter::count_pairs(std::span<const std::uint32_t> prefix,
                                 std::span<const std::uint32_t> siblings,
                                 std::span<const std::uint32_t> tids,
                                 const ReducedTransactions& reduced, std::uint32_t min_count,
                                 std::vector<std::uint32_t>& out_items,
                                 std::vector<std::uint32_t>& out_counts) {
  const std::size_t side = siblings.size();
  // The pairs above the diagonal only (see pair_triangle.hpp).
  if (cells_.size() < triangle_cells(side)) cells_.resize(triangle_cells(side), 0);
  // One slot more than siblings: an item that is none is written past the last found one.
  if (present_.size() < side + 1) present_.resize(side + 1);
  mark(siblings);
  const std::uint32_t lowest = siblings.front();
  std::uint32_t* cells = cells_.data();
  std::uint32_t* present = present_.data();
  const std::uint32_t* position = position_.data();
  reduced.scan(tids, [&](std::span<const std::uint32_t> items) {
    const std::size_t n = chosen_slots(items, lowest, position, present);
    for (std::size_t i = 0; i + 1 < n; ++i) {
      // Slots are positions + 1: cell (present[i] - 1, present[j] - 1), the column's - 1
      // taken into the row's offset.
      const std::size_t row = triangle_row_offset(side, present[i] - 1) - 1;
      for (std::size_t j = i + 1; j < n; ++j) ++cells[row + present[j]];
    }
  });
  unmark(siblings);
  // Rows by the smaller sibling, columns ascending: lexicographic order. Most cells miss the
  // min count, so the test is nearly always predicted; each row then goes back to zero whole,
  // for the next group. A pair no transaction holds is never reported, even at min count 0.
  const std::uint32_t least = std::max<std::uint32_t>(min_count, 1);
  for (std::size_t i = 0; i + 1 < side; ++i) {
    const std::size_t row = triangle_row_offset(side, i);
    for (std::size_t j = i + 1; j < side; ++j)
      if (cells[row + j] >= least)
        append(prefix, siblings[i], siblings[j], cells[row + j], out_items, out_counts);
    std::fill(cells + (row + i + 1), cells + (row + side), 0);
  }
}

void SiblingCounter::count_row(std::span<const std::uint32_t> prefix,
                               std::span<const std::uint32_t> siblings, std::size_t i,
                               std::span<const std::uint32_t> tids,
                               const ReducedTransactions& reduced, std::uint32_t min_count,
                               std::vector<std::uint32_t>& out_items,
                               std::vector<std::uint32_t>& out_counts) {
  const std::size_t side = siblings.size();
  if (cells_.size() < side + 1) cells_.resize(side + 1, 0);
  if (present_.size() < side + 1) present_.resize(side + 1);
  if (met_.size() < side / 64 + 1) met_.resize(side / 64 + 1, 0);
  std::uint32_t* cells = cells_.data();
  std::uint32_t* present = present_.data();
  std::uint64_t* met = met_.data();
  const std::uint32_t* position = position_.data();
  // Slots are sibling positions + 1, the whole group marked (mark). Short rows are read
  // whole, siblings up to i included: their slots add nothing.
  const std::uint32_t first_slot = static_cast<std::uint32_t>(i + 2);
  reduced.scan(tids, [&](std::span<const std::uint32_t> items) {
    const std::size_t n = chosen_slots(items, siblings[i + 1], position, present);
    count_met_slots(present, n, first_slot, nullptr, cells, met);
  });
  // Only the siblings met are read, ascending; cells and bits go back to 0. A sibling no
  // transaction holds is never reported, even at min count 0.
  const std::uint32_t least = std::max<std::uint32_t>(min_count, 1);
  take_met_slots(met, side / 64 + 1, first_slot, [&](std::uint32_t p) {
    const std::uint32_t count = std::exchange(cells[p], 0);
    if (count >= least) append(prefix, siblings[i], siblings[p - 1], count, out_items, out_counts);
  });
}

}  // namespace tallyfold
