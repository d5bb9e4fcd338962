#include "eclat/eclat.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>

#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "common/cancel.hpp"
#include "common/min_count.hpp"
#include "common/panic.hpp"
#include "common/parallel.hpp"
#include "common/tuning.hpp"
#include "eclat/item_queue.hpp"
#include "eclat/projection.hpp"
#include "eclat/subtree_miner.hpp"

namespace tallyfold {

namespace {

void append_all(std::vector<std::uint32_t>& to, std::vector<std::uint32_t>& from) {
  if (to.empty() && to.capacity() < from.size())
    to.swap(from);
  else
    to.insert(to.end(), from.begin(), from.end());
  std::vector<std::uint32_t>().swap(from);
}

}  // namespace

EclatOut& EclatOut::merge(EclatOut&& right) {
  append_all(itemsets, right.itemsets);
  append_all(counts, right.counts);
  append_all(lower_itemsets, right.lower_itemsets);
  append_all(lower_counts, right.lower_counts);
  append_all(lengths, right.lengths);
  return *this;
}

std::uint32_t eclat_min_count(double min_support, std::uint32_t n_transactions) {
  return std::max<std::uint32_t>(min_count_u32(min_support, n_transactions), 1);
}

std::vector<ItemNode> eclat_item_nodes(const InvertedIndex& index, std::uint32_t min_count) {
  std::vector<ItemNode> nodes;
  for (std::uint32_t i = 0; i < index.item_space; ++i)
    if (index.item_counts[i] >= min_count) nodes.push_back({i, index.txns_of(i)});
  return nodes;
}

namespace eclat {
namespace {

// Per-worker state, reused from one top-level item to the next.
struct Scratch {
  std::vector<std::uint32_t> rank_counts;
  std::vector<std::uint32_t> touched;
  std::vector<std::uint64_t> touched_bits;
  std::vector<std::uint32_t> col_of_rank;
  Projection projection;
  SubtreeMiner<std::uint16_t> narrow;
  SubtreeMiner<std::uint32_t> wide;
};

// Positions within a projection of at most 2^16 transactions fit in 16 bits.
bool narrow_positions(const ProjectionView& view) { return view.universe <= std::size_t{1} << 16; }

// The subtrees of `item`'s pairs in `pairs` (columns of its projection), on the miner of
// `s` that suits the projection's positions.
void mine_pairs(Scratch& s, const Context& ctx, const Projection& proj, std::uint32_t item,
                IndexRange pairs, EclatOut& out) {
  const ProjectionView view = proj.view();
  if (narrow_positions(view))
    s.narrow.run_projected_members(ctx, view, proj.col_counts, item, pairs.begin, pairs.end, out);
  else
    s.wide.run_projected_members(ctx, view, proj.col_counts, item, pairs.begin, pairs.end, out);
}

// The subtree of a heavy item over its projection, split between workers by its pairs: the
// items are handed out heaviest first, but one item of sparse data may hold most of the work,
// and its subtree alone would keep one core busy after the other has run dry. Each part has a
// miner and an output of its own; the outputs join in the pairs' order, as one search would
// have written them. The wait is isolated, so this worker takes no other item meanwhile: its
// scratch, which holds the projection, is in use. A part runs on the miners of the worker that
// takes it, which are free: that worker is this one, waiting, or one between items.
void mine_split(const Context& ctx, const Projection& proj, std::uint32_t item,
                tbb::enumerable_thread_specific<Scratch>& scratches, EclatOut& out) {
  const std::size_t n_cols = proj.col_items.size();
  // A pair's subtree costs about its transactions times the later items they hold.
  const auto ranges =
      balanced_ranges(n_cols, pool_threads() * 2, [&](std::size_t c) {
        return static_cast<std::uint64_t>(proj.col_counts[c] * proj.suffix_mean[c]) + 1;
      });
  std::vector<EclatOut> parts(ranges.size());
  tbb::this_task_arena::isolate([&] {
    tbb::parallel_for(std::size_t{0}, ranges.size(), [&](std::size_t r) {
      mine_pairs(scratches.local(), ctx, proj, item, ranges[r], parts[r]);
    });
  });
  throw_if_cancelled();
  for (EclatOut& part : parts) {
    // Rows a part already handed to the run's monitor are not handed again.
    out.reported_rows += part.reported_rows;
    out.reported_items += part.reported_items;
    out.merge(std::move(part));
  }
}

// Whether a projection is large enough for its subtree to be split, and small enough for
// every worker to hold its first group's sets at once: together at most half of what the
// ranked rows take.
bool worth_splitting(const Context& ctx, const ProjectionView& view) {
  const std::uint64_t entries = view.offsets[view.universe];
  const std::uint64_t pos_bytes = narrow_positions(view) ? 2 : 4;
  return pool_threads() > 1 && view.n_cols >= 2 && entries >= tuning::kEclatSplitMinEntries &&
         entries * pos_bytes * pool_threads() <= 2 * ctx.rows.ranks.size();
}

// Everything below the top-level item of rank i.
void mine_item(const Context& ctx, std::uint32_t i,
               tbb::enumerable_thread_specific<Scratch>& scratches, EclatOut& out) {
  Scratch& s = scratches.local();
  const std::uint32_t n_ranks = static_cast<std::uint32_t>(ctx.nodes.size());
  const ItemNode& a = ctx.nodes[i];
  if (ctx.all_sizes) {
    out.itemsets.push_back(a.item);
    out.counts.push_back(static_cast<std::uint32_t>(a.tids.size()));
    out.lengths.push_back(1);
    if (ctx.k_max == 1) return;
  }
  if (1 + static_cast<std::uint64_t>(n_ranks - 1 - i) < ctx.smallest_reported()) return;
  if (ctx.dense != nullptr) {
    if (narrow_positions(*ctx.whole))
      s.narrow.run_dense(ctx, *ctx.whole, *ctx.dense, i, out);
    else
      s.wide.run_dense(ctx, *ctx.whole, *ctx.dense, i, out);
    return;
  }
  if (s.rank_counts.size() < n_ranks) {
    s.rank_counts.assign(n_ranks, 0);
    s.col_of_rank.assign(n_ranks, kNone);
    s.touched_bits.assign((n_ranks + 63) / 64, 0);
  }
  Projection& proj = s.projection;
  // The pairs {a, b}, b > a, counted by delivery over a's transactions: linear in their size,
  // where intersecting a's list with every later item's would be quadratic in the items.
  std::uint32_t* counts = s.rank_counts.data();
  gather_suffixes(ctx.rows, a.tids, i, proj, counts, s.touched_bits.data());
  // The marks give the met ranks in ascending order without a sort.
  s.touched.clear();
  for (std::size_t w = i / 64; w < s.touched_bits.size(); ++w) {
    for (std::uint64_t v = s.touched_bits[w]; v != 0; v &= v - 1)
      s.touched.push_back(static_cast<std::uint32_t>(w * 64 + __builtin_ctzll(v)));
    s.touched_bits[w] = 0;
  }
  proj.col_items.clear();
  proj.col_counts.clear();
  for (std::uint32_t r : s.touched) {
    if (counts[r] >= ctx.min_count) {
      s.col_of_rank[r] = static_cast<std::uint32_t>(proj.col_items.size());
      proj.col_items.push_back(ctx.nodes[r].item);
      proj.col_counts.push_back(counts[r]);
    }
    counts[r] = 0;
  }
  const std::size_t n_cols = proj.col_items.size();
  auto forget_cols = [&] {
    for (std::uint32_t r : s.touched) s.col_of_rank[r] = kNone;
  };
  if (n_cols == 0) return;
  if (ctx.k_max == 2) {
    for (std::size_t c = 0; c < n_cols; ++c) {
      out.itemsets.push_back(a.item);
      out.itemsets.push_back(proj.col_items[c]);
      out.counts.push_back(proj.col_counts[c]);
      if (ctx.all_sizes) out.lengths.push_back(2);
    }
    forget_cols();
    return;
  }
  if (1 + static_cast<std::uint64_t>(n_cols) < ctx.smallest_reported()) {
    forget_cols();
    return;
  }

  // Ranks become columns in place, dropping the items that do not pair frequently with a.
  proj.suffix_total.assign(n_cols, 0);
  std::uint32_t* cols = proj.cols.data();
  std::size_t write = 0;
  std::size_t read = 0;
  for (std::uint32_t p = 0; p < proj.universe; ++p) {
    const std::size_t row_start = write;
    for (const std::size_t row_end = proj.offsets[p + 1]; read < row_end; ++read) {
      // Branch-free: whether a rank pairs frequently with a is close to a coin toss.
      const std::uint32_t c = s.col_of_rank[cols[read]];
      cols[write] = c;
      write += c != kNone;
    }
    const std::size_t len = write - row_start;
    for (std::size_t k = 0; k < len; ++k)
      proj.suffix_total[cols[row_start + k]] += len - 1 - k;
    proj.offsets[p + 1] = static_cast<std::uint32_t>(write);
  }
  forget_cols();
  proj.suffix_mean.resize(n_cols);
  for (std::size_t c = 0; c < n_cols; ++c)
    proj.suffix_mean[c] = static_cast<double>(proj.suffix_total[c]) / proj.col_counts[c];

  if (worth_splitting(ctx, proj.view()))
    mine_split(ctx, proj, a.item, scratches, out);
  else
    mine_pairs(s, ctx, proj, a.item, IndexRange{0, n_cols}, out);
}

}  // namespace
}  // namespace eclat

std::vector<EclatOut> mine_eclat_by_item(const InvertedIndex& index,
                                         std::span<const ItemNode> nodes, std::uint64_t k_max,
                                         std::uint32_t min_count, bool all_sizes,
                                         RunMonitor* monitor,
                                         const std::function<void()>& rows_ranked) {
  if (k_max < (all_sizes ? 1u : 2u))
    throw Panic("Eclat needs k_max >= " + std::string(all_sizes ? "1" : "2") + ", got " +
                std::to_string(k_max));
  const std::size_t n = nodes.size();
  if (n == 0 || (n < 2 && !all_sizes)) return std::vector<EclatOut>(n);
  const eclat::RankedRows rows = eclat::rank_rows(index, nodes);
  if (rows_ranked) rows_ranked();
  eclat::Context ctx{rows, nodes, k_max, std::max<std::uint32_t>(min_count, 1)};
  ctx.all_sizes = all_sizes;
  ctx.monitor = monitor;
  if (monitor != nullptr) monitor->set_units(n);
  eclat::WholeData whole;
  eclat::DenseItems dense;
  if (eclat::pairs_by_and(rows, n)) {
    whole = eclat::whole_data(rows, nodes);
    dense = eclat::dense_items(rows, n);
    ctx.whole = &whole.view;
    ctx.dense = &dense;
  }

  // Items are handed out one at a time to whichever worker is free, heaviest first, so that
  // a long subtree does not start last and no worker holds a run of heavy items that the
  // others cannot take. Each item writes its own output; the outputs are joined in item
  // order below.
  std::vector<std::uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) {
    return nodes[x].tids.size() > nodes[y].tids.size();
  });
  std::vector<EclatOut> outs(n);
  tbb::enumerable_thread_specific<eclat::Scratch> scratch;
  std::vector<std::size_t> weights(n);
  for (std::size_t k = 0; k < n; ++k) weights[k] = nodes[order[k]].tids.size();
  eclat::ItemQueue queue(std::move(weights),
                         index.n_transactions / tuning::kEclatHeavyItemShareInverse);
  tbb::parallel_for(std::size_t{0}, std::min(n, pool_threads()), [&](std::size_t) {
    for (auto k = queue.take(); k; k = queue.take(*k)) {
      throw_if_cancelled();
      eclat::mine_item(ctx, order[*k], scratch, outs[order[*k]]);
      if (monitor != nullptr) {
        eclat::report_growth(ctx, outs[order[*k]]);
        monitor->unit_done();
      }
    }
  });
  throw_if_cancelled();
  return outs;
}

EclatOut mine_eclat(const InvertedIndex& index, std::span<const ItemNode> nodes,
                    std::uint64_t k_max, std::uint32_t min_count, bool all_sizes,
                    const std::function<void()>& rows_ranked) {
  std::vector<EclatOut> outs =
      mine_eclat_by_item(index, nodes, k_max, min_count, all_sizes, nullptr, rows_ranked);

  EclatOut merged;
  std::size_t sizes[5] = {0, 0, 0, 0, 0};
  for (const EclatOut& o : outs) {
    sizes[0] += o.itemsets.size();
    sizes[1] += o.counts.size();
    sizes[2] += o.lower_itemsets.size();
    sizes[3] += o.lower_counts.size();
    sizes[4] += o.lengths.size();
  }
  merged.itemsets.reserve(sizes[0]);
  merged.counts.reserve(sizes[1]);
  merged.lower_itemsets.reserve(sizes[2]);
  merged.lower_counts.reserve(sizes[3]);
  merged.lengths.reserve(sizes[4]);
  for (EclatOut& o : outs) merged.merge(std::move(o));
  return merged;
}

}  // namespace tallyfold
