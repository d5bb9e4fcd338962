#include "common/row_lookup.hpp"

#include <string>

#include "common/panic.hpp"

namespace tallyfold {

RowLookup::RowLookup(const ItemsetRowsView& rows)
    : rows_(rows), index_(0, RowHash{&rows_}, RowEq{&rows_}) {
  if (rows_.size() > 0xFFFFFFFFu)
    throw LimitError("an itemset table of " + std::to_string(rows_.size()) +
                     " rows is too large: at most 4294967295 rows are supported");
  index_.reserve(rows_.size());
  for (std::size_t r = 0; r < rows_.size(); ++r) index_.insert(static_cast<std::uint32_t>(r));
}

std::optional<std::size_t> RowLookup::find(Row itemset) const {
  const auto it = index_.find(itemset);
  if (it == index_.end()) return std::nullopt;
  return *it;
}

}  // namespace tallyfold
