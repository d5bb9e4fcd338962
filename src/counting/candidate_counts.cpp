#include "counting/candidate_counts.hpp"

#include <algorithm>
#include <span>

#include "common/parallel.hpp"

namespace tallyfold {

namespace {

// Rows per chunk of work: enough for prefixes to be shared within a chunk, small enough for
// the pool to balance tables of a few thousand rows.
constexpr std::size_t kRowsPerChunk = 256;

std::size_t intersection_size(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b) {
  std::size_t n = 0;
  auto i = a.begin(), j = b.begin();
  while (i != a.end() && j != b.end()) {
    if (*i < *j) {
      ++i;
    } else if (*j < *i) {
      ++j;
    } else {
      ++n;
      ++i;
      ++j;
    }
  }
  return n;
}

// The transaction lists of the current row's prefixes: level d holds the transactions of
// its first d + 1 items. The last item of a row is only counted against the level before it.
class PrefixStack {
 public:
  explicit PrefixStack(const InvertedIndex& index) : index_(index) {}

  // Counts `row` (item numbers, `absent` for an id without transactions), reusing the
  // levels it shares with the previous row.
  std::int64_t count(std::span<const std::uint32_t> row, std::uint32_t absent) {
    if (row.empty()) return index_.n_transactions;
    std::size_t shared = 0;
    while (shared < row.size() && shared < previous_.size() && row[shared] == previous_[shared])
      ++shared;
    // The last level is only counted, never stored, so a row that is a prefix of the previous
    // one may find its own last level missing.
    shared = std::min(shared, stored_);
    previous_.assign(row.begin(), row.end());
    if (levels_.size() < row.size()) levels_.resize(row.size());
    for (std::size_t d = shared; d + 1 < row.size(); ++d) {
      if (d == 0) {
        levels_[0].assign(list_of(row[0], absent).begin(), list_of(row[0], absent).end());
      } else {
        std::vector<std::uint32_t>& out = levels_[d];
        out.clear();
        std::set_intersection(levels_[d - 1].begin(), levels_[d - 1].end(),
                              list_of(row[d], absent).begin(), list_of(row[d], absent).end(),
                              std::back_inserter(out));
      }
    }
    stored_ = row.size() - 1;
    const std::span<const std::uint32_t> last = list_of(row.back(), absent);
    if (row.size() == 1) return static_cast<std::int64_t>(last.size());
    return static_cast<std::int64_t>(intersection_size(levels_[row.size() - 2], last));
  }

 private:
  std::span<const std::uint32_t> list_of(std::uint32_t number, std::uint32_t absent) const {
    if (number == absent || number >= index_.item_space) return {};
    return index_.txns_of(number);
  }

  const InvertedIndex& index_;
  std::vector<std::vector<std::uint32_t>> levels_;
  std::vector<std::uint32_t> previous_;
  std::size_t stored_ = 0;  // levels valid for `previous_`
};

}  // namespace

std::vector<std::int64_t> count_candidates(const InvertedIndex& index,
                                           const ItemsetCsrView& candidates) {
  const std::size_t n = candidates.size();
  std::vector<std::int64_t> counts(n, 0);
  const std::uint32_t absent = index.item_space;
  const auto ranges = even_ranges(n, (n + kRowsPerChunk - 1) / kRowsPerChunk);
  struct Done {};
  map_ranges<Done>(ranges, [&](const IndexRange& range, Done&) {
    PrefixStack stack(index);
    std::vector<std::uint32_t> numbers;
    for (std::size_t r = range.begin; r < range.end; ++r) {
      const auto row = candidates.row(r);
      numbers.resize(row.size());
      for (std::size_t k = 0; k < row.size(); ++k)
        numbers[k] = index.numbering.number_of(row[k], absent);
      counts[r] = stack.count(numbers, absent);
    }
  });
  return counts;
}

}  // namespace tallyfold
