#pragma once
// The depth-first search below one top-level item: groups of extensions held as position
// lists or bitsets, counted by reading projected rows ("delivery") or by AND-popcount,
// whichever the cost model expects to be cheaper.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "common/tuning.hpp"
#include "common/bitset_kernels.hpp"
#include "common/cancel.hpp"
#include "common/run_monitor.hpp"
#include "common/uninit_vector.hpp"
#include "eclat/eclat.hpp"
#include "eclat/projection.hpp"
#include "eclat/wide_and.hpp"

namespace tallyfold::eclat {

// What every part of one call's search shares, read-only.
struct Context {
  const RankedRows& rows;
  std::span<const ItemNode> nodes;
  std::uint64_t k_max;
  std::uint32_t min_count;
  // Set when the pairs are counted by AND over all transactions (dense data): the whole
  // data as a projection with ranks as columns, and each item's bitset.
  const ProjectionView* whole = nullptr;
  const DenseItems* dense = nullptr;
  // Every size from 1 to k_max is reported (rows of `itemsets` with `lengths`), not only the
  // two top ones.
  bool all_sizes = false;
  // Counts the rows found and enforces the caller's limits; none when null.
  RunMonitor* monitor = nullptr;

  // The search below an itemset stops where no path can reach a reported size.
  std::uint64_t smallest_reported() const { return all_sizes ? 1 : k_max - 1; }
};

// Hands the rows `out` gained since its last report to the run's monitor, which throws when
// they take the run past a limit.
inline void report_growth(const Context& ctx, EclatOut& out) {
  if (ctx.monitor == nullptr) return;
  const std::size_t rows = out.counts.size() + out.lower_counts.size();
  const std::size_t items = out.itemsets.size() + out.lower_itemsets.size();
  const std::size_t new_rows = rows - out.reported_rows, new_items = items - out.reported_items;
  out.reported_rows = rows;
  out.reported_items = items;
  ctx.monitor->add_rows(new_rows, new_items);
}

// One itemset on the search path: its last item (as a column) and its transaction set.
struct Member {
  std::uint32_t col;
  std::uint32_t count;
  std::size_t offset;  // into the group's positions, or in words into its bitsets
};

// The extensions of one prefix, all with the same layout: ascending position lists, or
// bitsets over the projection's universe. Lists suit sparse sets, whose extensions are best
// counted by reading the projected rows ("delivery"); bitsets suit dense ones, where a word
// AND with popcount counts 64 transactions at once.
// Storage for at least n entries, reusing what earlier groups left: every use writes the
// entries it reads, so neither growing nor shrinking back is worth a pass over them.
template <class Vec>
void hold(Vec& storage, std::size_t n) {
  if (storage.size() < n) storage.resize(n);
}

// As bitsets, member k's set is the k-th of `words` words (offset k * words), so the sets of
// a member's later siblings lie back to back.
template <class Pos>
struct Group {
  bool bits = false;
  std::size_t words = 0;
  std::vector<Member> members;
  UninitVector<Pos> positions;
  UninitVector<std::uint64_t> bitsets;

  const Pos* list(const Member& m) const { return positions.data() + m.offset; }
  const std::uint64_t* bitset(const Member& m) const { return bitsets.data() + m.offset; }

  template <class Visit>
  void for_each_position(const Member& m, Visit&& visit) const {
    if (!bits) {
      const Pos* p = list(m);
      for (std::uint32_t k = 0; k < m.count; ++k) visit(static_cast<std::uint32_t>(p[k]));
      return;
    }
    const std::uint64_t* b = bitset(m);
    for (std::size_t w = 0; w < words; ++w)
      for (std::uint64_t v = b[w]; v != 0; v &= v - 1)
        visit(static_cast<std::uint32_t>(w * 64 + static_cast<unsigned>(__builtin_ctzll(v))));
  }
};

// Scratch of one depth of the search. `member_of_col` maps a column to the member position
// of the group at this depth; columns outside the group map to the sink, the extra last
// entry of `counts`, so the delivery loop counts without a branch.
template <class Pos>
struct Level {
  Group<Pos> group;
  std::vector<std::uint32_t> member_of_col;
  std::vector<std::uint32_t> counts;
  std::vector<std::uint64_t> marks;  // one bit per counter that deliver() touched
  std::vector<std::uint32_t> slot;
  std::vector<std::uint32_t> kept;
  std::vector<std::size_t> cursor;
};

// Relative cost of reading one projected row entry during delivery and of one word of an
// AND-popcount, in the same unit; their ratio decides both the layout of each group and how
// each member's extensions are counted.
inline double delivery_cost(const ProjectionView& proj, const Member& m) {
  return static_cast<double>(m.count) * proj.suffix_mean[m.col] * tuning::kEclatDeliveryCost;
}

inline double and_cost(std::size_t partners, std::size_t words, double word_cost) {
  return static_cast<double>(partners) * static_cast<double>(words) * word_cost;
}

// Whether a group of these members is cheaper to extend as bitsets than as position lists of
// `pos_bytes` each. Large bitsets far larger than the lists are never chosen, whatever they
// save: the group of a heavy item's pairs in sparse data would otherwise hold a bitset of its
// whole universe per column.
inline bool prefer_bits(const ProjectionView& proj, std::span<const Member> members,
                        std::size_t words, double word_cost, std::size_t pos_bytes) {
  const std::size_t n = members.size();
  const std::size_t bitset_bytes = words * n * sizeof(std::uint64_t);
  if (bitset_bytes > tuning::kEclatBitsetFreeBytes) {
    std::size_t positions = 0;
    for (const Member& m : members) positions += m.count;
    if (static_cast<double>(bitset_bytes) >
        tuning::kEclatBitsetMaxMemoryRatio * static_cast<double>(positions * pos_bytes))
      return false;
  }
  double as_bits = static_cast<double>(words * n) * word_cost;
  double as_lists = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const double deliver = delivery_cost(proj, members[k]);
    as_bits += std::min(and_cost(n - 1 - k, words, word_cost),
                        deliver + static_cast<double>(words));
    as_lists += deliver + static_cast<double>(members[k].count);
  }
  return as_bits < as_lists;
}

// The search below one top-level item, positions held as Pos. Groups live in `levels_`, one
// per depth: the group at depth d holds itemsets of size d + 1, and the group at depth d + 1
// is rebuilt for each member of depth d in turn, so memory follows the current search path.
template <class Pos>
class SubtreeMiner {
 public:
  // The subtrees of the pairs {item, column c} for c in [begin, end), from `item`'s
  // projection; `col_counts` are the pair counts. All of them make the item's subtree; a
  // heavy item's is split between workers, each part with a miner of its own. A pair's
  // subtree reads the later pairs' sets but changes nothing the other pairs' subtrees read.
  void run_projected_members(const Context& ctx, const ProjectionView& proj,
                             std::span<const std::uint32_t> col_counts, std::uint32_t item,
                             std::size_t begin, std::size_t end, EclatOut& out) {
    start(ctx, proj, out);
    build_first_group(col_counts);
    prefix_.assign(1, item);
    process(1, 2, begin, end);
  }

  // The subtree of the item of `rank` over the whole data (`proj` has ranks as columns), its
  // pairs counted by AND of the items' bitsets.
  void run_dense(const Context& ctx, const ProjectionView& proj, const DenseItems& dense,
                 std::uint32_t rank, EclatOut& out) {
    const std::uint32_t n_ranks = static_cast<std::uint32_t>(proj.n_cols);
    const std::uint32_t item = proj.col_items[rank];
    const std::uint64_t* bits = dense.of(rank);
    // The later items' bitsets lie back to back after this one's.
    const std::size_t n_later = n_ranks - 1 - rank;
    hold(and_counts_, n_later);
    std::uint32_t* counts = and_counts_.data();
    if (ctx.k_max == 2) {
      wide_and_count_each(bits, dense.of(rank + 1), n_later, dense.words, counts);
      for (std::uint32_t r = rank + 1; r < n_ranks; ++r) {
        const std::uint32_t count = counts[r - rank - 1];
        if (count < ctx.min_count) continue;
        out.itemsets.push_back(item);
        out.itemsets.push_back(proj.col_items[r]);
        out.counts.push_back(count);
        if (ctx.all_sizes) out.lengths.push_back(2);
      }
      return;
    }
    start(ctx, proj, out);
    Level<Pos>& level = levels_[1];
    Group<Pos>& group = level.group;
    group.members.clear();
    group.words = words_;
    group.bits = true;
    hold(group.bitsets, n_later * words_);
    wide_and_keep_each(bits, dense.of(rank + 1), n_later, words_, ctx.min_count,
                       group.bitsets.data(), counts);
    std::size_t offset = 0;
    for (std::uint32_t r = rank + 1; r < n_ranks; ++r) {
      const std::uint32_t count = counts[r - rank - 1];
      if (count >= ctx.min_count) {
        group.members.push_back({r, count, offset});
        offset += words_;
      }
    }
    if (1 + group.members.size() < ctx.smallest_reported()) return;
    if (!prefer_bits(proj, group.members, words_, word_cost_, sizeof(Pos))) bits_to_lists(group);
    for (std::size_t k = 0; k < group.members.size(); ++k)
      level.member_of_col[group.members[k].col] = static_cast<std::uint32_t>(k);
    prefix_.assign(1, item);
    process(1, 2);
  }

 private:
  void start(const Context& ctx, const ProjectionView& proj, EclatOut& out) {
    ctx_ = &ctx;
    proj_ = &proj;
    out_ = &out;
    const std::size_t n_cols = proj.n_cols;
    words_ = (static_cast<std::size_t>(proj.universe) + 63) / 64;
    // Groups hold itemsets up to size k_max - 1 and lose a member per depth at least.
    const std::size_t depths = static_cast<std::size_t>(
        std::min<std::uint64_t>(ctx.k_max - 2, static_cast<std::uint64_t>(n_cols)));
    // Every search leaves the per-depth arrays as it found them, so they are rebuilt only when
    // a projection has more columns than any before: the sink sits past the widest one, and
    // a narrower projection uses a prefix of the arrays.
    if (prepared_cols_ != kUnprepared && n_cols <= prepared_cols_ && depths < levels_.size())
      return;
    if (levels_.size() < depths + 1) levels_.resize(depths + 1);
    const std::size_t width =
        prepared_cols_ == kUnprepared ? n_cols : std::max(n_cols, prepared_cols_);
    sink_ = static_cast<std::uint32_t>(width);
    for (std::size_t d = 1; d < levels_.size(); ++d) {
      Level<Pos>& level = levels_[d];
      level.member_of_col.assign(width + 1, sink_);
      level.counts.assign(width + 1, 0);
      level.marks.assign(width / 64 + 1, 0);
      level.slot.assign(width + 1, kNone);
    }
    prepared_cols_ = width;
  }

  // The pairs {a, column}: the projection read column by column.
  void build_first_group(std::span<const std::uint32_t> col_counts) {
    const ProjectionView& proj = *proj_;
    Level<Pos>& level = levels_[1];
    Group<Pos>& group = level.group;
    const std::size_t n_cols = proj.n_cols;
    group.members.clear();
    group.words = words_;
    std::size_t offset = 0;
    for (std::uint32_t c = 0; c < n_cols; ++c) {
      group.members.push_back({c, col_counts[c], offset});
      offset += col_counts[c];
    }
    group.bits = prefer_bits(proj, group.members, words_, word_cost_, sizeof(Pos));
    if (group.bits) {
      hold(group.bitsets, n_cols * words_);
      std::fill_n(group.bitsets.data(), n_cols * words_, 0);
      for (Member& m : group.members) m.offset = m.col * words_;
      std::uint64_t* bits = group.bitsets.data();
      for (std::uint32_t p = 0; p < proj.universe; ++p)
        for (const std::uint32_t* e = proj.row_begin(p); e != proj.row_end(p); ++e)
          bits[*e * words_ + p / 64] |= std::uint64_t{1} << (p % 64);
    } else {
      hold(group.positions, offset);
      level.cursor.resize(n_cols);
      for (std::uint32_t c = 0; c < n_cols; ++c) level.cursor[c] = group.members[c].offset;
      Pos* out = group.positions.data();
      for (std::uint32_t p = 0; p < proj.universe; ++p)
        for (const std::uint32_t* e = proj.row_begin(p); e != proj.row_end(p); ++e)
          out[level.cursor[*e]++] = static_cast<Pos>(p);
    }
    for (std::uint32_t c = 0; c < n_cols; ++c) level.member_of_col[c] = c;
  }

  // Visits the members [begin, end) of the group at depth d, itemsets of size d + 1.
  void process(std::size_t d, std::uint64_t size, std::size_t begin = 0,
               std::size_t end = static_cast<std::size_t>(-1)) {
    const std::uint64_t k_max = ctx_->k_max;
    Level<Pos>& level = levels_[d];
    const std::size_t n = level.group.members.size();
    for (std::size_t i = begin; i < std::min(n, end); ++i) {
      // The subtrees of the first two depths are the units of work that Ctrl-C waits for;
      // deeper ones are too small to be worth a look.
      if (d <= 2) {
        throw_if_cancelled();
        report_growth(*ctx_, *out_);
      }
      const Member x = level.group.members[i];
      prefix_.push_back(proj_->col_items[x.col]);
      if (ctx_->all_sizes) {
        out_->itemsets.insert(out_->itemsets.end(), prefix_.begin(), prefix_.end());
        out_->counts.push_back(x.count);
        out_->lengths.push_back(static_cast<std::uint32_t>(size));
      } else if (size + 1 == k_max) {
        out_->lower_itemsets.insert(out_->lower_itemsets.end(), prefix_.begin(), prefix_.end());
        out_->lower_counts.push_back(x.count);
      }
      const std::size_t later = n - 1 - i;
      // With fewer later members than sizes still missing, nothing below x is ever reported.
      if (later > 0 && size + later >= ctx_->smallest_reported()) {
        if (size + 1 == k_max)
          record_extensions(level, i);
        else if (build_children(d, i, size))
          process(d + 1, size + 1);
      }
      prefix_.pop_back();
    }
    for (const Member& m : level.group.members) level.member_of_col[m.col] = sink_;
  }

  bool deliver_is_cheaper(const Group<Pos>& group, const Member& x, std::size_t later) const {
    return !group.bits ||
           delivery_cost(*proj_, x) + static_cast<double>(words_) <
               and_cost(later, words_, word_cost_);
  }

  // counts[j] for every later member j: the transactions of x that hold j's column too.
  // Each row of x is read from its end down to x's own column, which every such row holds.
  // Touched counters are marked too, so that draining them costs a word per 64 members
  // rather than one step per member: sparse groups have thousands of members, of which
  // each delivery meets a few.
  void deliver(Level<Pos>& level, const Member& x) {
    const ProjectionView& proj = *proj_;
    std::uint32_t* counts = level.counts.data();
    std::uint64_t* marks = level.marks.data();
    const std::uint32_t* member_of_col = level.member_of_col.data();
    auto read_row = [&](std::uint32_t p) {
      const std::uint32_t* e = proj.row_end(p);
      while (*--e > x.col) {
        const std::uint32_t k = member_of_col[*e];
        ++counts[k];
        marks[k / 64] |= std::uint64_t{1} << (k % 64);
      }
    };
    if (level.group.bits) {
      level.group.for_each_position(x, read_row);
      return;
    }
    // The rows of a sparse set lie far apart: fetch them a few positions ahead, the offset
    // first and then the row's end.
    constexpr std::uint32_t kOffsetAhead = 16;
    constexpr std::uint32_t kRowAhead = 8;
    const Pos* list = level.group.list(x);
    for (std::uint32_t k = 0; k < x.count; ++k) {
      if (k + kOffsetAhead < x.count) __builtin_prefetch(proj.offsets + list[k + kOffsetAhead] + 1);
      if (k + kRowAhead < x.count) __builtin_prefetch(proj.row_end(list[k + kRowAhead]) - 1);
      read_row(list[k]);
    }
  }

  // Hands the count of every later member that deliver() touched to `use`, in ascending
  // member order, and clears counters and marks.
  template <class Use>
  void drain_counts(Level<Pos>& level, std::size_t i, Use&& use) {
    const std::size_t n = level.group.members.size();
    std::uint64_t* marks = level.marks.data();
    for (std::size_t w = (i + 1) / 64; w * 64 < n; ++w) {
      std::uint64_t v = marks[w];
      marks[w] = 0;
      for (; v != 0; v &= v - 1) {
        const std::size_t j = w * 64 + static_cast<std::size_t>(__builtin_ctzll(v));
        if (j >= n) break;
        use(j, level.counts[j]);
        level.counts[j] = 0;
      }
    }
    marks[sink_ / 64] = 0;
    level.counts[sink_] = 0;
  }

  // Rows prefix + [column of j] for every later member j that reaches the min count.
  void record_extensions(Level<Pos>& level, std::size_t i) {
    const Group<Pos>& group = level.group;
    const Member& x = group.members[i];
    const std::size_t n = group.members.size();
    const std::uint32_t min_count = ctx_->min_count;
    EclatOut& out = *out_;
    auto emit = [&](std::size_t j, std::uint32_t count) {
      if (count < min_count) return;
      out.itemsets.insert(out.itemsets.end(), prefix_.begin(), prefix_.end());
      out.itemsets.push_back(proj_->col_items[group.members[j].col]);
      out.counts.push_back(count);
      if (ctx_->all_sizes) out.lengths.push_back(static_cast<std::uint32_t>(prefix_.size() + 1));
    };
    if (deliver_is_cheaper(group, x, n - 1 - i)) {
      deliver(level, x);
      drain_counts(level, i, emit);
    } else {
      hold(and_counts_, n - 1 - i);
      std::uint32_t* counts = and_counts_.data();
      wide_and_count_each(group.bitset(x), group.bitsets.data() + (i + 1) * words_, n - 1 - i,
                          words_, counts);
      for (std::size_t j = i + 1; j < n; ++j) emit(j, counts[j - i - 1]);
    }
  }

  // Fills the group at depth d + 1 with the frequent extensions of member i of depth d, of
  // size `size` + 1. Returns false when none of them can lead to a reported itemset.
  bool build_children(std::size_t d, std::size_t i, std::uint64_t size) {
    Level<Pos>& level = levels_[d];
    Level<Pos>& next = levels_[d + 1];
    const Group<Pos>& group = level.group;
    Group<Pos>& child = next.group;
    const Member x = group.members[i];
    const std::uint32_t min_count = ctx_->min_count;
    child.members.clear();
    child.words = words_;
    if (deliver_is_cheaper(group, x, group.members.size() - 1 - i)) {
      deliver(level, x);
      level.kept.clear();
      drain_counts(level, i, [&](std::size_t j, std::uint32_t count) {
        if (count < min_count) return;
        level.kept.push_back(static_cast<std::uint32_t>(j));
        child.members.push_back({group.members[j].col, count, 0});
      });
      if (size + child.members.size() < ctx_->smallest_reported()) return false;
      // A lone child has no later sibling to meet: its transactions are never read, only
      // its count can be reported.
      if (child.members.size() > 1) materialize_delivered(level, child, x);
    } else {
      and_children(group, child, x, i);
      if (size + child.members.size() < ctx_->smallest_reported()) return false;
      if (!prefer_bits(*proj_, child.members, words_, word_cost_, sizeof(Pos))) bits_to_lists(child);
    }
    for (std::size_t k = 0; k < child.members.size(); ++k)
      next.member_of_col[child.members[k].col] = static_cast<std::uint32_t>(k);
    return true;
  }

  // Second delivery pass over x's rows: writes the positions or bits of each kept child.
  void materialize_delivered(Level<Pos>& level, Group<Pos>& child, const Member& x) {
    const ProjectionView& proj = *proj_;
    const std::size_t n_kept = child.members.size();
    for (std::size_t k = 0; k < n_kept; ++k)
      level.slot[level.kept[k]] = static_cast<std::uint32_t>(k);
    const std::uint32_t* slot = level.slot.data();
    const std::uint32_t* member_of_col = level.member_of_col.data();
    child.bits = prefer_bits(proj, child.members, words_, word_cost_, sizeof(Pos));
    if (child.bits) {
      hold(child.bitsets, n_kept * words_);
      std::fill_n(child.bitsets.data(), n_kept * words_, 0);
      for (std::size_t k = 0; k < n_kept; ++k) child.members[k].offset = k * words_;
      std::uint64_t* bits = child.bitsets.data();
      const std::size_t words = words_;
      level.group.for_each_position(x, [&](std::uint32_t p) {
        const std::uint32_t* e = proj.row_end(p);
        while (*--e > x.col) {
          const std::uint32_t s = slot[member_of_col[*e]];
          if (s != kNone) bits[s * words + p / 64] |= std::uint64_t{1} << (p % 64);
        }
      });
    } else {
      std::size_t total = 0;
      level.cursor.resize(n_kept);
      for (std::size_t k = 0; k < n_kept; ++k) {
        child.members[k].offset = total;
        level.cursor[k] = total;
        total += child.members[k].count;
      }
      hold(child.positions, total);
      Pos* out = child.positions.data();
      std::size_t* cursor = level.cursor.data();
      level.group.for_each_position(x, [&](std::uint32_t p) {
        const std::uint32_t* e = proj.row_end(p);
        while (*--e > x.col) {
          const std::uint32_t s = slot[member_of_col[*e]];
          if (s != kNone) out[cursor[s]++] = static_cast<Pos>(p);
        }
      });
    }
    for (std::uint32_t j : level.kept) level.slot[j] = kNone;
  }

  // Children by AND of bitsets, written straight into the child group; a result below the
  // min count is overwritten by the next one.
  void and_children(const Group<Pos>& group, Group<Pos>& child, const Member& x, std::size_t i) {
    const std::size_t n = group.members.size();
    const std::uint32_t min_count = ctx_->min_count;
    child.bits = true;
    hold(child.bitsets, (n - 1 - i) * words_);
    hold(and_counts_, n - 1 - i);
    std::uint32_t* counts = and_counts_.data();
    wide_and_keep_each(group.bitset(x), group.bitsets.data() + (i + 1) * words_, n - 1 - i,
                       words_, min_count, child.bitsets.data(), counts);
    std::size_t offset = 0;
    for (std::size_t j = i + 1; j < n; ++j) {
      const std::uint32_t count = counts[j - i - 1];
      if (count >= min_count) {
        child.members.push_back({group.members[j].col, count, offset});
        offset += words_;
      }
    }
  }

  void bits_to_lists(Group<Pos>& group) {
    std::size_t total = 0;
    for (const Member& m : group.members) total += m.count;
    hold(group.positions, total);
    std::size_t offset = 0;
    for (Member& m : group.members) {
      Pos* out = group.positions.data() + offset;
      group.for_each_position(m, [&](std::uint32_t p) { *out++ = static_cast<Pos>(p); });
      m.offset = offset;
      offset += m.count;
    }
    group.bits = false;
  }

  const Context* ctx_ = nullptr;
  const ProjectionView* proj_ = nullptr;
  EclatOut* out_ = nullptr;
  std::uint32_t sink_ = 0;
  std::size_t words_ = 0;
  const double word_cost_ = and_word_cost();
  static constexpr std::size_t kUnprepared = std::numeric_limits<std::size_t>::max();
  std::size_t prepared_cols_ = kUnprepared;
  std::vector<Level<Pos>> levels_;
  std::vector<std::uint32_t> prefix_;
  UninitVector<std::uint32_t> and_counts_;  // one per later member of an AND pass
};

}  // namespace tallyfold::eclat
