#include "itemsets/flat_memo.hpp"

#include <algorithm>
#include <bit>

#include "common/bitset_kernels.hpp"
#include "common/panic.hpp"
#include "common/tuning.hpp"

namespace tallyfold {

namespace {
constexpr std::uint32_t kEscape = 0xFFFF;
}  // namespace

FlatSets::FlatSets(std::uint32_t n_transactions, bool adaptive)
    : n_transactions_(n_transactions),
      bitset_units_((static_cast<std::size_t>(n_transactions) + 15) / 16),
      adaptive_(adaptive) {}

void FlatSets::append(std::span<const std::uint32_t> tids) {
  std::size_t list_units = 0;
  std::uint32_t previous = 0;
  for (const std::uint32_t t : tids) {
    list_units += t - previous >= kEscape ? 3 : 1;
    previous = t;
  }
  const bool bitset = adaptive_ && bitset_units_ > 0 && list_units >= bitset_units_;
  const std::size_t at = units_.size();
  units_.resize(at + (bitset ? bitset_units_ : list_units));
  std::uint16_t* out = units_.data() + at;
  if (bitset) {
    std::fill(out, out + bitset_units_, std::uint16_t{0});
    for (const std::uint32_t t : tids) {
      if (t >= n_transactions_) panic_index_out_of_bounds(n_transactions_, t);
      out[t >> 4] = static_cast<std::uint16_t>(out[t >> 4] | (1u << (t & 15)));
    }
  } else {
    previous = 0;
    for (const std::uint32_t t : tids) {
      const std::uint32_t gap = t - previous;
      previous = t;
      if (gap < kEscape) {
        *out++ = static_cast<std::uint16_t>(gap);
        continue;
      }
      *out++ = static_cast<std::uint16_t>(kEscape);
      *out++ = static_cast<std::uint16_t>(gap >> 16);
      *out++ = static_cast<std::uint16_t>(gap & 0xFFFF);
    }
  }
  offsets_.push_back(units_.size());
}

std::span<const std::uint32_t> FlatSets::walk(std::size_t r,
                                              std::vector<std::uint32_t>& buffer) const {
  const std::uint16_t* in = units_.data() + offsets_[r];
  const std::uint16_t* end = units_.data() + offsets_[r + 1];
  const auto units = static_cast<std::size_t>(end - in);
  buffer.clear();
  if (adaptive_ && bitset_units_ > 0 && units == bitset_units_) {
    for (std::size_t u = 0; u < units; ++u)
      for (std::uint32_t bits = in[u]; bits != 0; bits &= bits - 1)
        buffer.push_back(static_cast<std::uint32_t>(u * 16 + std::countr_zero(bits)));
    return buffer;
  }
  buffer.resize(units);  // at least the values it holds
  std::uint32_t previous = 0;
  std::size_t n = 0;
  while (in != end) {
    std::uint32_t gap = *in++;
    if (gap == kEscape) {
      gap = static_cast<std::uint32_t>(in[0]) << 16 | in[1];
      in += 2;
    }
    previous += gap;
    buffer[n++] = previous;
  }
  buffer.resize(n);
  return buffer;
}

PairGroupSets::PairGroupSets(std::uint32_t item_space) : slot_(item_space, 0) {}

void PairGroupSets::begin_group(const InvertedIndex& index, const ReducedTransactions& reduced,
                                std::uint32_t prefix,
                                std::span<const std::uint32_t> siblings,
                                std::span<const std::uint32_t> counts) {
  clear_prefix_bits();
  index_ = &index;
  reduced_ = &reduced;
  prefix_ = prefix;
  siblings_ = siblings;
  counts_ = counts;
  run_begin_ = run_end_ = 0;
  std::size_t total = 0;
  for (const std::uint32_t c : counts) total += c;
  projected_ = total <= tuning::listed_words(index.txn_items.size());
  if (projected_) project();
}

void PairGroupSets::project() {
  const std::size_t n = siblings_.empty() ? 0 : siblings_.size() - 1;
  for (std::size_t i = 0; i < siblings_.size(); ++i)
    slot_[siblings_[i]] = static_cast<std::uint32_t>(i + 1);
  run_begin_ = 0;
  run_end_ = n;
  begin_.resize(n);
  end_.resize(n);
  std::size_t at = 0;
  for (std::size_t i = 0; i < n; ++i) {
    begin_[i] = end_[i] = at;
    at += counts_[i];
  }
  if (tids_.size() < at) tids_.resize(at);
  row_txn_.clear();
  row_end_.assign(1, 0);
  // Every sibling of a row is one transaction of a pair: the counts bound the rows' items.
  // Each item is written at the row's end before it is known to be a sibling, so one slot
  // past the bound may be written.
  std::size_t total = 0;
  for (const std::uint32_t c : counts_) total += c;
  if (row_items_.size() < total + 1) row_items_.resize(total + 1);
  std::uint32_t* row_items = row_items_.data();
  std::size_t filled = 0;
  const std::uint32_t lowest = siblings_.empty() ? 0 : siblings_.front();
  for (const std::uint32_t t : index_->txns_of(prefix_)) {
    const auto items = items_from(reduced_->items_of(t), lowest);
    std::size_t end = filled;
    for (const std::uint32_t item : items) {
      row_items[end] = item;
      end += slot_[item] != 0;
    }
    // A row with one sibling extends no anchor of the group: it is left out.
    if (end - filled < 2) continue;
    const auto row = static_cast<std::uint32_t>(row_txn_.size());
    row_txn_.push_back(t);
    row_end_.push_back(static_cast<std::uint32_t>(end));
    for (std::size_t p = filled; p < end; ++p)
      if (const std::uint32_t s = slot_[row_items[p]]; s <= n) tids_[end_[s - 1]++] = row;
    filled = end;
  }
  for (const std::uint32_t item : siblings_) slot_[item] = 0;
}

std::span<const std::uint32_t> PairGroupSets::set(std::size_t i) {
  if (i + 1 >= siblings_.size()) panic_index_out_of_bounds(siblings_.size() - 1, i);
  if (!projected_ && (i < run_begin_ || i >= run_end_)) make_run(i);
  const std::size_t at = i - run_begin_;
  return {tids_.data() + begin_[at], tids_.data() + end_[at]};
}

void PairGroupSets::make_run(std::size_t from) {
  // The pair counts give every list's length up front: each starts where the previous ends.
  const std::size_t last = siblings_.size() - 1;
  std::size_t to = from, words = 0;
  const std::size_t budget = tuning::listed_words(index_->txn_items.size());
  while (to < last && (to == from || words + counts_[to] <= budget))
    words += counts_[to++];
  run_begin_ = from;
  run_end_ = to;
  begin_.resize(to - from);
  end_.resize(to - from);
  std::size_t at = 0;
  for (std::size_t i = from; i < to; ++i) {
    begin_[i - from] = end_[i - from] = at;
    at += counts_[i];
  }
  if (tids_.size() < at + 1) tids_.resize(at + 1);
  // A scan reads every item of the prefix's transactions from the run's first sibling on
  // (about the index's items per transaction); the other way reads the siblings' own
  // transactions, with a bitset of the prefix's over all transactions, so only where that is
  // small beside the lists.
  std::size_t sibling_txns = 0;
  for (std::size_t i = from; i < to; ++i) sibling_txns += index_->txns_of(siblings_[i]).size();
  const double per_txn = static_cast<double>(index_->txn_items.size()) /
                         std::max<double>(1, static_cast<double>(index_->n_transactions));
  const double scan = static_cast<double>(index_->txns_of(prefix_).size()) * per_txn;
  const bool bits_small = bitset_words(index_->n_transactions) <= budget / 2;
  if (bits_small && static_cast<double>(sibling_txns) < scan)
    list_run_by_siblings();
  else
    list_run_by_scan(at);
}

void PairGroupSets::list_run_by_scan(std::size_t spare) {
  const std::size_t from = run_begin_, to = run_end_;
  cursor_.resize(to - from + 1);
  for (std::size_t i = from; i < to; ++i) {
    slot_[siblings_[i]] = static_cast<std::uint32_t>(i - from + 1);
    cursor_[i - from + 1] = begin_[i - from];
  }
  // Every item of a row is written, to its sibling's list or, for the others (slot 0), to one
  // spare entry past the lists, and only a sibling's cursor moves on: whether an item is a
  // sibling is data, not a branch to mispredict.
  cursor_[0] = spare;
  std::size_t* cursor = cursor_.data();
  std::uint32_t* tids = tids_.data();
  const std::uint32_t lowest = siblings_[from];
  for (const std::uint32_t t : index_->txns_of(prefix_)) {
    const auto items = reduced_->items_of(t);
    for (auto it = std::lower_bound(items.begin(), items.end(), lowest); it != items.end(); ++it) {
      const std::uint32_t s = slot_[*it];
      tids[cursor[s]] = t;
      cursor[s] += s != 0;
    }
  }
  for (std::size_t i = from; i < to; ++i) {
    end_[i - from] = cursor_[i - from + 1];
    slot_[siblings_[i]] = 0;
  }
}

void PairGroupSets::list_run_by_siblings() {
  // The level's cut keeps every item of a transaction it keeps (no cap here), so a kept
  // transaction's row holds a sibling exactly when the transaction does; one it dropped has
  // an empty row, which a scan lists nowhere: it gets no bit.
  if (!prefix_bits_set_) {
    prefix_bits_.resize(bitset_words(index_->n_transactions), 0);
    for (const std::uint32_t t : index_->txns_of(prefix_))
      if (!reduced_->items_of(t).empty()) prefix_bits_[t / 64] |= std::uint64_t{1} << (t % 64);
    prefix_bits_set_ = true;
  }
  const std::uint64_t* bits = prefix_bits_.data();
  std::uint32_t* tids = tids_.data();
  for (std::size_t i = run_begin_; i < run_end_; ++i) {
    std::size_t end = begin_[i - run_begin_];
    for (const std::uint32_t t : index_->txns_of(siblings_[i])) {
      tids[end] = t;
      end += (bits[t / 64] >> (t % 64)) & 1;
    }
    end_[i - run_begin_] = end;
  }
}

void PairGroupSets::clear_prefix_bits() {
  if (!prefix_bits_set_) return;
  for (const std::uint32_t t : index_->txns_of(prefix_)) prefix_bits_[t / 64] = 0;
  prefix_bits_set_ = false;
}

}  // namespace tallyfold
