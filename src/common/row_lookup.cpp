#include "common/row_lookup.hpp"

#include <string>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "common/cancel.hpp"
#include "common/hash_growth.hpp"
#include "common/panic.hpp"

namespace tallyfold {

RowLookup::RowLookup(const ItemsetCsrView& rows)
    : rows_(rows), index_(0, Hash{}, Eq{this}) {
  if (rows_.size() > 0xFFFFFFFFu)
    throw LimitError("an itemset table of " + std::to_string(rows_.size()) +
                     " rows is too large: at most 4294967295 rows are supported");
  hashes_.resize(rows_.size());
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, rows_.size(), 16384),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t r = range.begin(); r != range.end(); ++r)
                        hashes_[r] = hash_of(rows_.row(r));
                    });
  // A cancelled hashing stage leaves hashes at zero, and rows of one hash make every insert
  // probe past all the rows before it: the inserts would take quadratic time.
  throw_if_cancelled();
  reserve_safely(index_, rows_.size());  // every row fits: the inserts never allocate
  for_each_step(0, rows_.size(), [&](std::size_t r) {
    index_.insert(Entry{hashes_[r], static_cast<std::uint32_t>(r)});
  });
}

bool RowLookup::equals(const Entry& e, const Probe& p) const {
  if (e.hash != p.hash) return false;
  const Row row = rows_.row(e.row);
  const std::size_t length = p.skip == kKeepAll ? p.row.size() : p.row.size() - 1;
  if (row.size() != length) return false;
  for (std::size_t k = 0, j = 0; k < p.row.size(); ++k) {
    if (k == p.skip) continue;
    if (row[j++] != p.row[k]) return false;
  }
  return true;
}

std::optional<std::size_t> RowLookup::find(const Probe& probe) const {
  const auto it = index_.find(probe);
  if (it == index_.end()) return std::nullopt;
  return it->row;
}

std::optional<std::size_t> RowLookup::find(Row itemset, std::uint64_t hash) const {
  return find(Probe{hash, itemset, kKeepAll});
}

std::optional<std::size_t> RowLookup::find_without(std::size_t r, std::size_t skip) const {
  return find(probe_without(r, skip));
}

}  // namespace tallyfold
