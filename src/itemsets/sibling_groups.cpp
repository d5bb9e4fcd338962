#include "itemsets/sibling_groups.hpp"

#include <algorithm>
#include <utility>

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
  // The pairs above the diagonal only, half a square: row i holds columns i + 1 on, from
  // cell row_start(i), column j at row_start(i) + j - i - 1.
  const auto row_start = [side](std::size_t i) { return i * side - i * (i + 1) / 2; };
  if (cells_.size() < side * (side - 1) / 2) cells_.resize(side * (side - 1) / 2, 0);
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
      // Slots are positions + 1: column present[j] - 1 of row present[i] - 1.
      const std::uint32_t after = present[i];
      std::uint32_t* row = cells + row_start(after - 1);
      for (std::size_t j = i + 1; j < n; ++j) ++row[present[j] - after - 1];
    }
  });
  unmark(siblings);
  // Rows by the smaller sibling, columns ascending: lexicographic order. Most cells miss the
  // min count, so the test is nearly always predicted; each row then goes back to zero whole,
  // for the next group. A pair no transaction holds is never reported, even at min count 0.
  const std::uint32_t least = std::max<std::uint32_t>(min_count, 1);
  for (std::size_t i = 0; i + 1 < side; ++i) {
    std::uint32_t* row = cells + row_start(i);
    for (std::size_t j = i + 1; j < side; ++j)
      if (row[j - i - 1] >= least)
        append(prefix, siblings[i], siblings[j], row[j - i - 1], out_items, out_counts);
    std::fill(row, row + (side - i - 1), 0);
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
