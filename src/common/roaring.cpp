#include "common/roaring.hpp"

#include <algorithm>
#include <array>
#include <bit>

#include "common/bitset_kernels.hpp"
#include "common/spare_capacity.hpp"

namespace tallyfold {

namespace {

// An array this many times shorter than the one it meets is intersected by binary search
// rather than by a merge walk: the walk would spend its time stepping over the long side.
constexpr std::size_t kGallopRatio = 32;

std::uint16_t high(std::uint32_t value) { return static_cast<std::uint16_t>(value >> 16); }
std::uint16_t low(std::uint32_t value) { return static_cast<std::uint16_t>(value & 0xFFFF); }

void set_bit(std::vector<std::uint64_t>& bits, std::uint16_t v) {
  bits[v >> 6] |= std::uint64_t{1} << (v & 63);
}
// A value above a chunk's last word is not in it.
bool test_bit(const std::vector<std::uint64_t>& bits, std::uint16_t v) {
  return (v >> 6) < bits.size() && ((bits[v >> 6] >> (v & 63)) & 1);
}

// Hides a value's origin from the optimiser, which would otherwise turn the steps computed
// from a comparison back into a branch on it.
inline void keep_computed(std::size_t& value) { asm("" : "+r"(value)); }

// Merge walks over two ascending arrays of distinct values, for short arrays: the values
// both hold are counted, and with kWrite written to `out`. Both steps are computed rather
// than branched on: which side advances is a coin toss on real data, and a mispredicted
// branch per value costs more than the whole comparison.
template <bool kWrite>
std::size_t merge_walk(const std::vector<std::uint16_t>& a, const std::vector<std::uint16_t>& b,
                       std::uint16_t* out) {
  const std::uint16_t *x = a.data(), *x_end = x + a.size();
  const std::uint16_t *y = b.data(), *y_end = y + b.size();
  std::size_t n = 0;
  while (x != x_end && y != y_end) {
    const std::uint16_t u = *x, v = *y;
    if constexpr (kWrite) out[n] = u;
    n += u == v;
    std::size_t step_x = u <= v, step_y = v <= u;
    keep_computed(step_x);
    keep_computed(step_y);
    x += step_x;
    y += step_y;
  }
  return n;
}

// Two longer arrays of comparable length are intersected through a table of the values they
// span: the shorter one's values are set as bits, each value of the longer one is tested
// there (so the result stays ascending). Every step stands alone, where a merge walk waits on
// its previous comparison. The table lives on the stack and only the words the two arrays
// span are cleared; below kMarkedMinLength values that clearing costs more than the merge.
constexpr std::size_t kMarkedMinLength = 32;

class SpanTable {
 public:
  SpanTable(const std::vector<std::uint16_t>& a, const std::vector<std::uint16_t>& b) {
    const std::size_t first = std::min(a.front(), b.front()) >> 6;
    const std::size_t last = std::max(a.back(), b.back()) >> 6;
    std::fill(words_.begin() + first, words_.begin() + last + 1, 0);
  }
  void mark(const std::vector<std::uint16_t>& values) {
    for (const std::uint16_t v : values) words_[v >> 6] |= std::uint64_t{1} << (v & 63);
  }
  std::uint64_t marked(std::uint16_t v) const { return (words_[v >> 6] >> (v & 63)) & 1; }

 private:
  std::array<std::uint64_t, 65536 / 64> words_;  // only the spanned words are ever read
};

template <bool kWrite>
std::size_t marked_walk(const std::vector<std::uint16_t>& shorter,
                        const std::vector<std::uint16_t>& longer, std::uint16_t* out) {
  SpanTable table(shorter, longer);
  table.mark(shorter);
  std::size_t n = 0;
  for (const std::uint16_t v : longer) {
    if constexpr (kWrite) out[n] = v;
    n += table.marked(v);
  }
  return n;
}

// The values two arrays share (`shorter` no longer than `longer`), counted, and with kWrite
// written ascending to `out`: by a merge walk for a short array, else through a SpanTable.
template <bool kWrite>
std::size_t array_intersection(const std::vector<std::uint16_t>& shorter,
                               const std::vector<std::uint16_t>& longer, std::uint16_t* out) {
  return shorter.size() < kMarkedMinLength ? merge_walk<kWrite>(shorter, longer, out)
                                           : marked_walk<kWrite>(shorter, longer, out);
}

}  // namespace

bool Bitmap::Chunk::contains(std::uint16_t value) const {
  if (is_bitset()) return test_bit(bits, value);
  return std::binary_search(low.begin(), low.end(), value);
}

void Bitmap::settle_array(Chunk& chunk) {
  if (chunk.low.empty() || !prefers_bitset(chunk.cardinality, chunk.low.back())) return;
  std::vector<std::uint64_t> bits(chunk.low.back() / 64 + 1, 0);
  for (std::uint16_t v : chunk.low) set_bit(bits, v);
  chunk.bits = std::move(bits);
  release(chunk.low);
}

void Bitmap::chunk_of_words(std::uint16_t key, const std::uint64_t* words, std::size_t n,
                            std::uint32_t count, Chunk& out) {
  out.key = key;
  out.cardinality = 0;
  out.low.clear();
  out.bits.clear();
  while (n > 0 && words[n - 1] == 0) --n;
  if (n == 0) return;
  out.cardinality = count != kUncounted ? count : and_count(words, words, n);
  const auto top = static_cast<std::uint16_t>((n - 1) * 64 + 63 - std::countl_zero(words[n - 1]));
  if (prefers_bitset(out.cardinality, top)) {
    out.bits.assign(words, words + n);
    return;
  }
  out.low.resize(std::size_t{out.cardinality} + kListBitsSlack);
  out.low.resize(list_bits(words, n, out.low.data()));
}

Bitmap Bitmap::of(std::span<const std::uint32_t> values) {
  std::vector<std::uint32_t> sorted;
  if (!std::is_sorted(values.begin(), values.end())) {
    sorted.assign(values.begin(), values.end());
    std::sort(sorted.begin(), sorted.end());
    values = sorted;
  }
  Bitmap out;
  std::size_t i = 0;
  while (i < values.size()) {
    const std::uint16_t key = high(values[i]);
    std::size_t end = i;
    while (end < values.size() && high(values[end]) == key) ++end;
    Chunk chunk;
    chunk.key = key;
    const std::uint16_t top = low(values[end - 1]);
    if (prefers_bitset(static_cast<std::uint32_t>(std::min<std::size_t>(end - i, 65536)), top)) {
      // Set straight into the words (duplicates only lower the count, settled below).
      std::vector<std::uint64_t> words(top / 64 + 1, 0);
      for (std::size_t j = i; j < end; ++j) set_bit(words, low(values[j]));
      chunk = chunk_of_words(key, words.data(), words.size());
    } else {
      chunk.low.reserve(end - i);
      for (std::size_t j = i; j < end; ++j) {
        const std::uint16_t v = low(values[j]);
        if (chunk.low.empty() || chunk.low.back() != v) chunk.low.push_back(v);
      }
      chunk.cardinality = static_cast<std::uint32_t>(chunk.low.size());
    }
    out.chunks_.push_back(std::move(chunk));
    i = end;
  }
  return out;
}

void Bitmap::add(std::uint32_t value) {
  const std::uint16_t key = high(value), v = low(value);
  auto it = std::lower_bound(chunks_.begin(), chunks_.end(), key,
                             [](const Chunk& c, std::uint16_t k) { return c.key < k; });
  if (it == chunks_.end() || it->key != key) {
    Chunk chunk;
    chunk.key = key;
    chunk.cardinality = 1;
    chunk.low.push_back(v);
    chunks_.insert(it, std::move(chunk));
    return;
  }
  Chunk& chunk = *it;
  if (chunk.contains(v)) return;
  // Built aside and moved in, so a failed allocation leaves the chunk as it was.
  Chunk grown;
  grown.key = key;
  grown.cardinality = chunk.cardinality + 1;
  if (chunk.is_bitset()) {
    // A value past the last word widens the bitset, which may then be larger than the array.
    std::vector<std::uint64_t> words(std::max<std::size_t>(chunk.bits.size(), v / 64 + 1), 0);
    std::copy(chunk.bits.begin(), chunk.bits.end(), words.begin());
    set_bit(words, v);
    grown = chunk_of_words(key, words.data(), words.size());
  } else {
    grown.low.reserve(chunk.low.size() + 1);
    auto pos = std::lower_bound(chunk.low.begin(), chunk.low.end(), v);
    grown.low.assign(chunk.low.begin(), pos);
    grown.low.push_back(v);
    grown.low.insert(grown.low.end(), pos, chunk.low.end());
    settle_array(grown);
  }
  chunk = std::move(grown);
}

std::uint64_t Bitmap::cardinality() const {
  std::uint64_t total = 0;
  for (const Chunk& c : chunks_) total += c.cardinality;
  return total;
}

bool Bitmap::contains(std::uint32_t value) const {
  const std::uint16_t key = high(value);
  auto it = std::lower_bound(chunks_.begin(), chunks_.end(), key,
                             [](const Chunk& c, std::uint16_t k) { return c.key < k; });
  return it != chunks_.end() && it->key == key && it->contains(low(value));
}

void Bitmap::intersect_chunks(const Chunk& a, const Chunk& b, Chunk& out) {
  if (a.is_bitset() && b.is_bitset()) {
    // The AND is formed on the stack and kept in whichever form its values call for.
    std::array<std::uint64_t, kWords> words;
    const std::size_t n = std::min(a.bits.size(), b.bits.size());
    const std::uint32_t count = and_into(a.bits.data(), b.bits.data(), words.data(), n);
    chunk_of_words(a.key, words.data(), n, count, out);
    return;
  }
  // Values are gathered on the stack and copied out at their exact count: a result sized by
  // its larger input would hold on to the difference for as long as the bitmap lives, and
  // memo levels keep thousands of them.
  std::array<std::uint16_t, kArrayMax> found;
  std::size_t n_found = 0;
  if (a.is_bitset() || b.is_bitset()) {
    const Chunk& array = a.is_bitset() ? b : a;
    const Chunk& bitset = a.is_bitset() ? a : b;
    // Written unconditionally and kept by advancing the count: no branch to mispredict.
    const std::size_t words = bitset.bits.size();
    for (std::uint16_t v : array.low) {
      if ((v >> 6) >= words) break;  // ascending: the rest lie above the bitset too
      found[n_found] = v;
      n_found += (bitset.bits[v >> 6] >> (v & 63)) & 1;
    }
  } else {
    const auto& small = a.low.size() <= b.low.size() ? a.low : b.low;
    const auto& large = a.low.size() <= b.low.size() ? b.low : a.low;
    if (small.size() * kGallopRatio < large.size()) {
      // Far smaller than the other side: search for each value instead of walking both.
      auto from = large.begin();
      for (std::uint16_t v : small) {
        from = std::lower_bound(from, large.end(), v);
        if (from == large.end()) break;
        if (*from == v) found[n_found++] = v;
      }
    } else {
      n_found = array_intersection<true>(small, large, found.data());
    }
  }
  out.key = a.key;
  out.bits.clear();
  out.low.assign(found.begin(), found.begin() + n_found);
  out.cardinality = static_cast<std::uint32_t>(n_found);
  // Fewer values than an array input, but maybe under a far lower highest value.
  settle_array(out);
}

namespace {

// Calls fn(x_chunk, y_chunk) for every key the two ascending chunk lists share, in key order.
// A template, so the call inlines into each walk.
template <class Chunks, class Fn>
void for_each_shared_key(const Chunks& x, const Chunks& y, Fn fn) {
  auto a = x.begin(), b = y.begin();
  while (a != x.end() && b != y.end()) {
    if (a->key < b->key) {
      ++a;
    } else if (b->key < a->key) {
      ++b;
    } else {
      fn(*a, *b);
      ++a;
      ++b;
    }
  }
}

}  // namespace

Bitmap Bitmap::intersect(const Bitmap& other) const {
  Bitmap out;
  for_each_shared_key(chunks_, other.chunks_, [&](const Chunk& a, const Chunk& b) {
    Chunk chunk;
    intersect_chunks(a, b, chunk);
    if (chunk.cardinality > 0) out.chunks_.push_back(std::move(chunk));
  });
  return out;
}

void Bitmap::intersect_into(const Bitmap& other, Bitmap& out) const {
  // Each chunk is written over one `out` already has, reusing its arrays; chunks left over
  // (fewer keys shared this time) are dropped at the end.
  std::size_t used = 0;
  for_each_shared_key(chunks_, other.chunks_, [&](const Chunk& a, const Chunk& b) {
    if (used == out.chunks_.size()) out.chunks_.emplace_back();
    intersect_chunks(a, b, out.chunks_[used]);
    used += out.chunks_[used].cardinality > 0;
  });
  out.chunks_.resize(used);
}

std::uint32_t Bitmap::intersect_chunk_cardinality(const Chunk& a, const Chunk& b) {
  if (a.is_bitset() && b.is_bitset())
    return and_count(a.bits.data(), b.bits.data(), std::min(a.bits.size(), b.bits.size()));
  std::uint32_t n = 0;
  if (a.is_bitset() || b.is_bitset()) {
    const Chunk& array = a.is_bitset() ? b : a;
    const Chunk& bitset = a.is_bitset() ? a : b;
    const std::size_t words = bitset.bits.size();
    for (std::uint16_t v : array.low) {
      if ((v >> 6) >= words) break;
      n += (bitset.bits[v >> 6] >> (v & 63)) & 1;
    }
    return n;
  }
  const bool a_shorter = a.low.size() <= b.low.size();
  const auto& shorter = a_shorter ? a.low : b.low;
  const auto& longer = a_shorter ? b.low : a.low;
  return static_cast<std::uint32_t>(array_intersection<false>(shorter, longer, nullptr));
}

std::uint64_t Bitmap::intersect_cardinality(const Bitmap& other) const {
  std::uint64_t n = 0;
  for_each_shared_key(chunks_, other.chunks_,
                      [&](const Chunk& a, const Chunk& b) { n += intersect_chunk_cardinality(a, b); });
  return n;
}

Bitmap::Chunk Bitmap::unite_chunks(const Chunk& a, const Chunk& b) {
  if (!a.is_bitset() && !b.is_bitset()) {
    Chunk out;
    out.key = a.key;
    out.low.reserve(a.low.size() + b.low.size());
    std::set_union(a.low.begin(), a.low.end(), b.low.begin(), b.low.end(),
                   std::back_inserter(out.low));
    out.cardinality = static_cast<std::uint32_t>(out.low.size());
    settle_array(out);
    return out;
  }
  const auto words_of = [](const Chunk& c) {
    return c.is_bitset() ? c.bits.size() : std::size_t{c.low.back()} / 64 + 1;
  };
  std::vector<std::uint64_t> words(std::max(words_of(a), words_of(b)), 0);
  for (const Chunk* c : {&a, &b}) {
    if (c->is_bitset()) {
      for (std::size_t w = 0; w < c->bits.size(); ++w) words[w] |= c->bits[w];
    } else {
      for (std::uint16_t v : c->low) set_bit(words, v);
    }
  }
  return chunk_of_words(a.key, words.data(), words.size());
}

void Bitmap::unite(const Bitmap& other) {
  if (other.chunks_.empty()) return;
  std::vector<Chunk> merged;
  merged.reserve(chunks_.size() + other.chunks_.size());
  auto a = chunks_.cbegin(), b = other.chunks_.cbegin();
  while (a != chunks_.cend() || b != other.chunks_.cend()) {
    if (b == other.chunks_.cend() || (a != chunks_.cend() && a->key < b->key)) {
      merged.push_back(Chunk{a->key, a->cardinality, a->low, a->bits});
      ++a;
    } else if (a == chunks_.cend() || b->key < a->key) {
      merged.push_back(Chunk{b->key, b->cardinality, b->low, b->bits});
      ++b;
    } else {
      merged.push_back(unite_chunks(*a, *b));
      ++a;
      ++b;
    }
  }
  chunks_ = std::move(merged);
}

void Bitmap::copy_to(std::uint32_t* out) const {
  for (const Chunk& c : chunks_) {
    const std::uint32_t base = std::uint32_t{c.key} << 16;
    if (!c.is_bitset()) {
      for (std::uint16_t v : c.low) *out++ = base | v;
      continue;
    }
    for (std::size_t w = 0; w < c.bits.size(); ++w)
      for (std::uint64_t word = c.bits[w]; word != 0; word &= word - 1)
        *out++ = base | static_cast<std::uint32_t>(w * 64 + std::countr_zero(word));
  }
}

void Bitmap::or_into_bits(std::uint64_t* out, std::size_t words) const {
  const std::uint64_t limit = std::uint64_t{words} * 64;
  for (const Chunk& c : chunks_) {
    const std::uint64_t base = std::uint64_t{c.key} << 16;
    if (base >= limit) break;
    std::uint64_t* chunk_out = out + base / 64;
    if (c.is_bitset()) {
      const std::size_t n = std::min<std::uint64_t>(c.bits.size(), (limit - base) / 64);
      for (std::size_t w = 0; w < n; ++w) chunk_out[w] |= c.bits[w];
      continue;
    }
    for (std::uint16_t v : c.low)
      if (base + v < limit) chunk_out[v >> 6] |= std::uint64_t{1} << (v & 63);
  }
}

}  // namespace tallyfold
