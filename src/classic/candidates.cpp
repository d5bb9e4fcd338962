#include "classic/candidates.hpp"

#include <algorithm>

#include <absl/container/flat_hash_map.h>
#include <absl/types/span.h>
#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include "classic/shared_prefixes.hpp"
#include "classic/tid_sets.hpp"
#include "common/bitset_kernels.hpp"
#include "common/cancel.hpp"
#include "common/hash_growth.hpp"
#include "common/csr_scan.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"

namespace tallyfold {

void CandidateRuns::add_run(std::span<const std::uint32_t> prefix,
                            std::span<const std::uint32_t> last_items) {
  prefixes.insert(prefixes.end(), prefix.begin(), prefix.end());
  extensions.insert(extensions.end(), last_items.begin(), last_items.end());
  ext_offsets.push_back(static_cast<std::uint32_t>(extensions.size()));
  candidates += last_items.size();
}

namespace {

struct Range {
  std::uint32_t begin, end;
};

// The previous level in ascending lexicographic order, cut into join groups: maximal ranges of
// rows that agree on their first k - 2 items.
class LevelJoin {
 public:
  explicit LevelJoin(const ItemsetTable& previous) : k1_(previous.width()) {
    const std::vector<std::uint32_t> order = previous.sorted_rows();
    rows_.resize(order.size() * k1_);
    last_.resize(order.size());
    for (std::size_t r = 0; r < order.size(); ++r) {
      const auto row = previous.row(order[r]);
      std::copy(row.begin(), row.end(), rows_.begin() + static_cast<std::ptrdiff_t>(r * k1_));
      last_[r] = row[k1_ - 1];
    }
    for (std::size_t r = 0; r < order.size();) {
      std::size_t end = r + 1;
      while (end < order.size() && group_key(end) == group_key(r)) ++end;
      const Range g{static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(end)};
      groups_.push_back(g);
      if (k1_ >= 2) {
        make_room_for_one(group_of_);  // grown by construction: a failed allocation raises
        group_of_.emplace(group_key(r), g);
      }
      r = end;
    }
  }

  std::size_t rows() const { return last_.size(); }
  std::size_t groups() const { return groups_.size(); }
  const std::vector<std::uint32_t>& last_items() const { return last_; }

  // Work of joining group g: about m * m / 2 pairs of its m rows, each checked against
  // k - 2 other groups.
  double cost(std::size_t g) const {
    const double m = groups_[g].end - groups_[g].begin;
    return m * (m + 1) / 2 * static_cast<double>(k1_);
  }

  // Appends the runs of the groups in `range` to `out`, in group order. Only reads this
  // join, so ranges may run on several threads.
  void join(IndexRange range, CandidateRuns& out) const {
    join(range, [&](std::span<const std::uint32_t> prefix, std::span<const std::uint32_t> last) {
      out.add_run(prefix, last);
    });
  }

  // Calls emit(prefix, last items) for each run of the groups in `range`, in group order.
  template <class Emit>
  void join(IndexRange range, Emit&& emit) const {
    std::vector<std::uint32_t> subset(k1_ - 1), survivors, narrowed;
    for (std::size_t gi = range.begin; gi < range.end; ++gi) {
      const Range g = groups_[gi];
      for (std::uint32_t i = g.begin; i < g.end; ++i) {
        throw_if_cancelled_every(i);
        const std::span<const std::uint32_t> joined(rows_.data() + std::size_t{i} * k1_, k1_);
        survivors.assign(last_.begin() + i + 1, last_.begin() + g.end);
        // Dropping position k - 2 or k - 1 of a candidate gives the two joined rows: only
        // positions 0 .. k - 3 (of the k1 = k - 1 joined items) are looked up.
        for (std::size_t drop = 0; drop + 1 < k1_ && !survivors.empty(); ++drop) {
          std::size_t w = 0;
          for (std::size_t p = 0; p < k1_; ++p)
            if (p != drop) subset[w++] = joined[p];
          auto other = group_of_.find(absl::Span<const std::uint32_t>(subset.data(), k1_ - 1));
          if (other == group_of_.end()) {
            survivors.clear();
            break;
          }
          const Range o = other->second;
          narrowed.resize(survivors.size());
          narrowed.resize(intersect_lists(
              survivors,
              std::span<const std::uint32_t>(last_.data() + o.begin, last_.data() + o.end),
              narrowed.data()));
          survivors.swap(narrowed);
        }
        if (!survivors.empty()) emit(joined, survivors);
      }
    }
  }

 private:
  absl::Span<const std::uint32_t> group_key(std::size_t r) const {
    return absl::Span<const std::uint32_t>(rows_.data() + r * k1_, k1_ - 1);
  }

  std::size_t k1_;
  std::vector<std::uint32_t> rows_, last_;  // rows back to back; the last item of each
  std::vector<Range> groups_;
  absl::flat_hash_map<absl::Span<const std::uint32_t>, Range> group_of_;
};

}  // namespace

// The prune asks, for a joined pair X + [c], whether X without its item p, plus c, is in the
// previous level, for every p but the last two. Such a subset is in the previous level exactly
// when c is a last item of the group of (X without p). So the surviving last items of a run
// are the group's later items intersected with the last items of those other groups: a few
// list intersections per run instead of a hash lookup per joined pair and subset. Candidates
// and their order are the same as testing every subset of every joined pair.
CandidateRuns generate_candidates(const ItemsetTable& previous) {
  const std::size_t k1 = previous.width();
  CandidateRuns out;
  out.width = k1 + 1;
  if (previous.empty()) return out;
  const LevelJoin join(previous);

  if (k1 == 1) {  // every pair of items, with nothing to prune
    const std::size_t n = join.rows();
    out.every_later_item = true;
    out.extensions = join.last_items();
    out.prefixes.assign(out.extensions.begin(), out.extensions.end() - 1);
    out.candidates = n * (n - 1) / 2;
    return out;
  }
  if (join.rows() <= tuning::kSequentialCandidateLimit) {
    join.join(IndexRange{0, join.groups()}, out);
    return out;
  }
  // Ranges of groups are joined on the pool twice: once to size each range's runs, once to
  // write them straight into their place, in group order. The candidates and their order
  // are those of one pass, and no range holds a copy of its runs on the side: they would
  // take as much memory again as the level's candidates.
  const auto ranges = balanced_ranges(join.groups(), pool_threads() * tuning::kChunksPerThread,
                                      [&](std::size_t g) { return join.cost(g); });
  struct Extent {
    std::size_t runs = 0, extensions = 0;
  };
  std::vector<Extent> extents = map_ranges<Extent>(ranges, [&](IndexRange range, Extent& e) {
    join.join(range, [&](std::span<const std::uint32_t>, std::span<const std::uint32_t> last) {
      ++e.runs;
      e.extensions += last.size();
    });
  });
  Extent total;
  for (Extent& e : extents) {  // each range's extent becomes where its runs start
    const Extent size = e;
    e = total;
    total.runs += size.runs;
    total.extensions += size.extensions;
  }
  out.prefixes.resize(total.runs * k1);
  out.ext_offsets.resize(total.runs + 1);
  out.extensions.resize(total.extensions);
  out.candidates = total.extensions;
  for_each_range(ranges, [&](std::size_t c, IndexRange range) {
    std::size_t run = extents[c].runs, at = extents[c].extensions;
    join.join(range, [&](std::span<const std::uint32_t> prefix, std::span<const std::uint32_t> last) {
      std::copy(prefix.begin(), prefix.end(), out.prefixes.begin() + static_cast<std::ptrdiff_t>(run * k1));
      std::copy(last.begin(), last.end(), out.extensions.begin() + static_cast<std::ptrdiff_t>(at));
      at += last.size();
      out.ext_offsets[++run] = static_cast<std::uint32_t>(at);
    });
  });
  return out;
}

namespace {

// Runs whose prefixes share their first k - 2 items (the runs of one join group, as far as
// they fall into one range of work) form a segment.
//
// How the candidates of one run are counted. All give the same counts; they differ in cost.
//   Bitsets:    AND the run's transaction bitset with each extension's and count the bits.
//               Used whenever the index has bitsets: it only builds them for dense data,
//               where a bitset is no longer than a list. A run of only a handful of
//               transactions tests their bits in each extension's bitset instead.
//   Lists:      intersect the run's transaction list with each extension's list.
//   Walk:       go through the run's transactions once and tally the extensions in them.
// Few extensions favour lists, many favour the walk. Without bitsets, the run's own
// transactions come either from one intersection per run, or for a whole segment at once from
// one walk over the segment's shared transactions that files each transaction under the runs
// whose last prefix item it holds (a projection). Where the segment walks and its table of
// (run, extension) counters is small, that one walk counts every candidate of the segment
// instead, and no run is walked on its own.

// The items of an ascending row above `x`. Rows are short, so a branch-free count of the
// items up to x beats a binary search, whose every step is a coin flip for the predictor.
[[gnu::always_inline]] inline std::span<const std::uint32_t> items_after(
    std::span<const std::uint32_t> row, std::uint32_t x) {
  std::size_t skip = 0;
  if (row.size() <= 32) {
    for (std::uint32_t item : row) skip += item <= x;
  } else {
    skip = static_cast<std::size_t>(std::upper_bound(row.begin(), row.end(), x) - row.begin());
  }
  return row.subspan(skip);
}

// Per-worker state. `tag` maps a slot to a small number (1, 2, ...) while a run or a segment
// is counted and is 0 otherwise. A tally indexed by the tag needs no test per item: untagged
// items all land in entry 0, which is ignored. Both are all zero between uses.
struct Scratch {
  explicit Scratch(const TransactionIndex& index)
      : tag(index.n_items(), 0),
        tally(index.n_items() + std::size_t{1}, 0),
        starts(index.n_items() + std::size_t{2}, 0),
        bits(index.bitset_words()),
        column(index.n_items(), 0) {}
  std::vector<std::uint32_t> tag, tally;
  std::vector<std::uint32_t> shared_list, list;
  // A segment's run transaction lists, back to back, and where each ends (projection).
  std::vector<std::uint32_t> starts, projected;
  std::vector<std::uint64_t> bits;
  // A segment's table of (run, extension) counters: `column` maps an extension's slot to its
  // column (from 1; 0 otherwise), `table_items` lists them, `open_rows` holds the table rows
  // of the runs met in the current transaction. All zero or empty between uses.
  std::vector<std::uint32_t> column, table_items, table, open_rows;
  // The shared items' transactions, kept from one segment to the next.
  SharedLists shared_lists;
  SharedBits shared_bits;
};

// Found itemsets of one range of runs, back to back, with their counts.
// A range's frequent candidates, each as its run and extension: a row of the level is
// written once, when the ranges are joined.
struct Found {
  std::vector<std::uint32_t> runs, extensions, counts;
};

class RunCounter {
 public:
  RunCounter(const TransactionIndex& index, const CandidateRuns& candidates,
             std::uint32_t min_count)
      : index_(index), runs_(candidates), min_count_(min_count), words_(index.bitset_words()) {}

  // Cost of a run before its transactions are known, to balance the pool's ranges: the
  // rarest item's count bounds them. With lists, what count_run_by_lists will do: intersect
  // them with each extension's list, which costs the longer list's length however short the
  // run's, or walk them, where each transaction's row is a fetch from memory as well as its
  // items after the run's last; plus finding them from the shared items' list. Counted by
  // transactions and items alone, the runs of the highest items (few items after them) were
  // planned at a third of their time, and one thread finished level 2 alone.
  double estimate(std::size_t run) const {
    const auto prefix = runs_.prefix(run);
    const auto extensions = runs_.extensions_of(run);
    if (index_.has_bitsets())
      return (static_cast<double>(extensions.size()) + 1.0) * static_cast<double>(words_);
    const std::size_t txns = rarest_count(prefix);
    const ListChoice choice = choose_by_lists(txns, prefix.back(), extensions);
    double cost = choice.intersect()
                      ? choice.intersections
                      : static_cast<double>(txns) * (tuning::kRowFetchCost + scan_tail(prefix.back())) *
                            tuning::kScanStepCost;
    if (prefix.size() >= 2)
      cost += intersect_cost(rarest_count(prefix.first(prefix.size() - 1)),
                             index_.count(prefix.back()));
    return cost;
  }

  // Whether `run` is the first of its segment (the runs sharing all prefix items but the
  // last, counted together). At level 2 no items are shared and each run stands alone.
  bool starts_segment(std::size_t run) const {
    if (run == 0 || runs_.width <= 2) return true;
    return !std::ranges::equal(shared_items(run), shared_items(run - 1));
  }

  void count_range(IndexRange range, Scratch& scratch, Found& found) const {
    std::size_t run = range.begin;
    while (run < range.end) {
      throw_if_cancelled();
      const auto shared = shared_items(run);
      std::size_t end = run + 1;
      while (end < range.end && std::ranges::equal(shared_items(end), shared)) ++end;
      if (index_.has_bitsets())
        count_segment_by_bitsets(run, end, scratch, found);
      else
        count_segment_by_lists(run, end, scratch, found);
      run = end;
    }
  }

 private:
  std::span<const std::uint32_t> shared_items(std::size_t run) const {
    const auto prefix = runs_.prefix(run);
    return prefix.first(prefix.size() - 1);
  }

  std::uint32_t rarest_count(std::span<const std::uint32_t> items) const {
    std::uint32_t c = index_.count(items[0]);
    for (std::uint32_t s : items.subspan(1)) c = std::min(c, index_.count(s));
    return c;
  }

  // Expected number of items after `last` in a transaction that holds it: slots are in id
  // order, unrelated to frequency, so the share of slots above it.
  double scan_tail(std::uint32_t last) const {
    const double n = index_.n_items();
    return index_.occurrence_weighted_length() * (n - 1.0 - last) / n;
  }

  // How a run of `txns` transactions, ending in item `last`, counts its extensions by lists:
  // one walk over its transactions' items after `last`, or an intersection with each
  // extension's list. The intersections are summed only until they pass the walk.
  struct ListChoice {
    double walk, intersections;
    bool intersect() const { return intersections <= walk; }
  };
  ListChoice choose_by_lists(std::size_t txns, std::uint32_t last,
                             std::span<const std::uint32_t> extensions) const {
    ListChoice c{static_cast<double>(txns) * (1.0 + scan_tail(last)) * tuning::kScanStepCost, 0.0};
    for (std::size_t i = 0; i < extensions.size() && c.intersections <= c.walk; ++i)
      c.intersections += intersect_cost(txns, index_.count(extensions[i]));
    return c;
  }

  static void emit(std::size_t run, std::uint32_t e, std::uint32_t c, Found& found) {
    found.runs.push_back(static_cast<std::uint32_t>(run));
    found.extensions.push_back(e);
    found.counts.push_back(c);
  }

  void count_segment_by_bitsets(std::size_t first, std::size_t end, Scratch& scratch,
                                Found& found) const {
    const auto shared = shared_items(first);
    const std::uint64_t* shared_bits = nullptr;
    std::uint32_t shared_count = index_.n_transactions();
    if (!shared.empty()) {
      const SharedBits::Set set = scratch.shared_bits.of(index_, shared);
      shared_bits = set.bits;
      shared_count = set.count;
    }
    // Very few shared transactions are listed once; each run's are then the ones whose bit
    // is set for its last prefix item, so no run pays an AND over every word to find them.
    const bool filter = shared_bits != nullptr &&
                        shared_count * tuning::kClassicSharedFilterCost < static_cast<double>(words_);
    if (filter) {
      list_bits(shared_bits, words_, scratch.shared_list);
      scratch.list.resize(scratch.shared_list.size());
    }
    for (std::size_t run = first; run < end; ++run) {
      const std::uint32_t last = runs_.prefix(run).back();
      const std::uint64_t* txns = index_.bitset(last);
      std::uint32_t run_count = index_.count(last);
      if (filter) {
        const std::size_t n = keep_listed_bits(scratch.shared_list, txns, scratch.list.data());
        if (n < min_count_) continue;
        if (bit_tests_pay(n)) {
          count_extensions_by_bit_tests(run, {scratch.list.data(), n}, found);
          continue;
        }
      }
      if (shared_bits != nullptr) {
        run_count = and_into(shared_bits, txns, scratch.bits.data(), words_);
        txns = scratch.bits.data();
      }
      if (run_count < min_count_) continue;
      if (bit_tests_pay(run_count)) {
        list_bits(txns, words_, scratch.list);
        count_extensions_by_bit_tests(run, scratch.list, found);
        continue;
      }
      for (std::uint32_t e : runs_.extensions_of(run)) {
        const std::uint32_t c = and_count(txns, index_.bitset(e), words_);
        if (c >= min_count_) emit(run, e, c, found);
      }
    }
  }

  // Whether a run's extensions are cheaper to count by testing the bits of its `n`
  // transactions than by ANDing every word: only for a handful of transactions (deep levels).
  bool bit_tests_pay(std::size_t n) const {
    return static_cast<double>(n) * tuning::kClassicBitTestCost < static_cast<double>(words_);
  }

  static bool has_bit(const std::uint64_t* bits, std::uint32_t t) {
    return (bits[t >> 6] >> (t & 63)) & 1;
  }

  // Each extension of `run`, counted by testing the bits of the run's transactions `txns` in
  // its bitset.
  void count_extensions_by_bit_tests(std::size_t run, std::span<const std::uint32_t> txns,
                                     Found& found) const {
    const auto prefix = runs_.prefix(run);
    for (std::uint32_t e : runs_.extensions_of(run)) {
      const std::uint64_t* bits = index_.bitset(e);
      std::uint32_t c = 0;
      for (std::uint32_t t : txns) c += has_bit(bits, t);
      if (c >= min_count_) emit(run, e, c, found);
    }
  }

  void count_segment_by_lists(std::size_t first, std::size_t end, Scratch& scratch,
                              Found& found) const {
    const auto shared = shared_items(first);
    if (shared.empty()) {  // level 2: a run's transactions are its one item's
      for (std::size_t run = first; run < end; ++run)
        count_run_by_lists(run, index_.tids(runs_.prefix(run)[0]), scratch, found);
      return;
    }
    const std::span<const std::uint32_t> shared_txns = scratch.shared_lists.of(index_, shared);

    const double walk = 2.0 * static_cast<double>(shared_txns.size()) *
                        (1.0 + scan_tail(shared.back())) * tuning::kScanStepCost;
    double intersections = 0;
    for (std::size_t run = first; run < end && intersections <= walk; ++run)
      intersections += intersect_cost(shared_txns.size(), index_.count(runs_.prefix(run).back()));
    if (walk < intersections) {
      if (count_segment_by_pair_table(first, end, shared, shared_txns, scratch, found)) return;
      const std::span<const std::uint32_t> starts = project(first, end, shared, shared_txns, scratch);
      for (std::size_t run = first; run < end; ++run) {
        const std::size_t m = run - first + 1;
        count_run_by_lists(run,
                           {scratch.projected.data() + starts[m - 1],
                            scratch.projected.data() + starts[m]},
                           scratch, found);
      }
      std::fill(scratch.starts.begin(),
                scratch.starts.begin() + static_cast<std::ptrdiff_t>(end - first + 2), 0);
      return;
    }
    for (std::size_t run = first; run < end; ++run) {
      const auto last = index_.tids(runs_.prefix(run).back());
      scratch.list.resize(std::min(shared_txns.size(), last.size()));
      scratch.list.resize(intersect_lists(shared_txns, last, scratch.list.data()));
      count_run_by_lists(run, scratch.list, scratch, found);
    }
  }

  // Counts the whole segment in one walk over its shared transactions, where a table of
  // (run, extension) counters fits tuning::kClassicPairTableMax: in each transaction, every
  // extension met is added to every run whose last item came before it in the row. The
  // projection's walks go over each run's transactions again, each the whole row after the
  // run's last item; this touches only the items the segment's runs and extensions name.
  // Returns false, having changed nothing, where the table would not fit.
  bool count_segment_by_pair_table(std::size_t first, std::size_t end,
                                   std::span<const std::uint32_t> shared,
                                   std::span<const std::uint32_t> shared_txns, Scratch& scratch,
                                   Found& found) const {
    const std::size_t n_runs = end - first;
    std::vector<std::uint32_t>& columns = scratch.table_items;  // extension items, by column
    for (std::size_t run = first; run < end; ++run)
      for (std::uint32_t e : runs_.extensions_of(run))
        if (scratch.column[e] == 0) {
          columns.push_back(e);
          scratch.column[e] = static_cast<std::uint32_t>(columns.size());
        }
    const std::size_t width = columns.size();
    if (n_runs * width > tuning::kClassicPairTableMax) {
      for (std::uint32_t e : columns) scratch.column[e] = 0;
      columns.clear();
      return false;
    }
    for (std::size_t run = first; run < end; ++run)
      scratch.tag[runs_.prefix(run).back()] = static_cast<std::uint32_t>(run - first + 1);
    if (scratch.table.size() < n_runs * width) scratch.table.resize(n_runs * width, 0);
    std::uint32_t* table = scratch.table.data();
    std::vector<std::uint32_t>& open = scratch.open_rows;  // table rows of the runs met so far
    scan_rows(index_.row_offsets(), index_.row_items(), shared_txns,
              [&](std::span<const std::uint32_t> row) {
                open.clear();
                for (std::uint32_t item : items_after(row, shared.back())) {
                  // As an extension first: a run never extends by its own last item.
                  if (const std::uint32_t c = scratch.column[item]; c != 0)
                    for (std::uint32_t at : open) ++table[at + c - 1];
                  if (const std::uint32_t m = scratch.tag[item]; m != 0)
                    open.push_back(static_cast<std::uint32_t>((m - 1) * width));
                }
              });
    for (std::size_t run = first; run < end; ++run) {
      const std::uint32_t* counts = table + (run - first) * width;
      for (std::uint32_t e : runs_.extensions_of(run)) {
        const std::uint32_t c = counts[scratch.column[e] - 1];
        if (c >= min_count_) emit(run, e, c, found);
      }
      scratch.tag[runs_.prefix(run).back()] = 0;
    }
    std::fill(table, table + n_runs * width, 0);
    for (std::uint32_t e : columns) scratch.column[e] = 0;
    columns.clear();
    return true;
  }

  // Files every shared transaction under each run of the segment whose last prefix item it
  // holds, in scratch.projected; returns where each run's list ends (run m of the segment,
  // from 1, ends at entry m, and starts where run m - 1 ends). A counting walk sizes the
  // lists, a filling walk writes them; transactions met through untagged items fill list 0,
  // before all others. scratch.starts is left for the caller to clear once the lists are used.
  std::span<const std::uint32_t> project(std::size_t first, std::size_t end,
                                         std::span<const std::uint32_t> shared,
                                         std::span<const std::uint32_t> shared_txns,
                                         Scratch& scratch) const {
    const std::size_t n_runs = end - first;
    auto walk = [&](auto&& file) {
      const std::uint32_t* next = shared_txns.data();  // rows come in list order
      scan_rows(index_.row_offsets(), index_.row_items(), shared_txns,
                [&](std::span<const std::uint32_t> row) {
                  const std::uint32_t t = *next++;
                  for (std::uint32_t item : items_after(row, shared.back()))
                    file(scratch.tag[item], t);
                });
    };
    for (std::size_t run = first; run < end; ++run)
      scratch.tag[runs_.prefix(run).back()] = static_cast<std::uint32_t>(run - first + 1);
    std::uint32_t* cursor = scratch.starts.data();
    walk([&](std::uint32_t m, std::uint32_t) { ++cursor[m + 1]; });
    for (std::size_t m = 0; m <= n_runs; ++m) cursor[m + 1] += cursor[m];
    scratch.projected.resize(cursor[n_runs + 1]);
    walk([&](std::uint32_t m, std::uint32_t t) { scratch.projected[cursor[m]++] = t; });
    for (std::size_t run = first; run < end; ++run) scratch.tag[runs_.prefix(run).back()] = 0;
    return {cursor, n_runs + 1};
  }

  void count_run_by_lists(std::size_t run, std::span<const std::uint32_t> txns, Scratch& scratch,
                          Found& found) const {
    if (txns.size() < min_count_) return;
    const auto prefix = runs_.prefix(run);
    const auto extensions = runs_.extensions_of(run);
    if (choose_by_lists(txns.size(), prefix.back(), extensions).intersect()) {
      for (std::uint32_t e : extensions) {
        const std::uint32_t c = intersect_count(txns, index_.tids(e), min_count_);
        if (c >= min_count_) emit(run, e, c, found);
      }
      return;
    }
    std::uint32_t* tally = scratch.tally.data();
    for (std::size_t i = 0; i < extensions.size(); ++i)
      scratch.tag[extensions[i]] = static_cast<std::uint32_t>(i + 1);
    scan_rows(index_.row_offsets(), index_.row_items(), txns,
              [&](std::span<const std::uint32_t> row) {
                for (std::uint32_t item : items_after(row, prefix.back())) ++tally[scratch.tag[item]];
              });
    for (std::size_t i = 0; i < extensions.size(); ++i) {
      scratch.tag[extensions[i]] = 0;
      if (tally[i + 1] >= min_count_) emit(run, extensions[i], tally[i + 1], found);
    }
    std::fill(tally, tally + extensions.size() + 1, 0);
  }

  const TransactionIndex& index_;
  const CandidateRuns& runs_;
  std::uint32_t min_count_;
  std::size_t words_;
};

}  // namespace

ItemsetTable count_candidates_parallel(const TransactionIndex& index,
                                       const CandidateRuns& candidates, std::uint32_t min_count) {
  const RunCounter counter(index, candidates, min_count);
  std::vector<Found> partials;
  // A few candidates stay on this thread unless their runs are long: on 10^6 rows a deep
  // level's few hundred candidates, each intersecting lists of thousands of transactions,
  // are milliseconds of work, which one thread did while the other waited.
  const bool alone =
      candidates.size() <= tuning::kSequentialCandidateLimit &&
      !worth_sharing(candidates.runs(), [&](std::size_t run) { return counter.estimate(run); });
  if (alone) {
    Scratch scratch(index);
    partials.resize(1);
    counter.count_range(IndexRange{0, candidates.runs()}, scratch, partials[0]);
  } else {
    // A range ends where a segment starts: each piece of a split segment pays the segment's
    // setup and, on lists, its walk over the shared transactions. On synthetic 10^6 rows
    // (count 206, k 5) one thread took 49 ms in 4 ranges cut anywhere, 55 ms in 16 and 60 ms
    // in 32, so two threads, with twice the ranges, did 10 % more work than one.
    const auto ranges = balanced_ranges(
        candidates.runs(), pool_threads() * tuning::kChunksPerThread,
        [&](std::size_t run) { return counter.estimate(run); },
        [&](std::size_t run) { return counter.starts_segment(run); },
        tuning::kClassicSegmentSplit);
    partials.resize(ranges.size());
    tbb::enumerable_thread_specific<Scratch> scratches([&] { return Scratch(index); });
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, ranges.size(), 1),
                      [&](const tbb::blocked_range<std::size_t>& r) {
                        Scratch& scratch = scratches.local();
                        for (std::size_t c = r.begin(); c != r.end(); ++c)
                          counter.count_range(ranges[c], scratch, partials[c]);
                      });
    throw_if_cancelled();
  }

  // Candidates are distinct by construction, so the level is joined without hashing a row.
  std::size_t total = 0;
  for (const Found& f : partials) total += f.counts.size();
  const std::size_t width = candidates.width;
  std::vector<std::uint32_t> items(total * width), counts;
  counts.reserve(total);
  std::uint32_t* out = items.data();
  for (Found& f : partials) {
    throw_if_cancelled();
    for (std::size_t i = 0; i < f.counts.size(); ++i) {
      const auto prefix = candidates.prefix(f.runs[i]);
      out = std::copy(prefix.begin(), prefix.end(), out);
      *out++ = f.extensions[i];
    }
    counts.insert(counts.end(), f.counts.begin(), f.counts.end());
    f = Found{};
  }
  return ItemsetTable::from_distinct_rows(candidates.width, std::move(items), std::move(counts));
}

}  // namespace tallyfold
