#include "common/roaring.hpp"

#include <algorithm>
#include <array>
#include <bit>

#include "common/bitset_kernels.hpp"

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
bool test_bit(const std::vector<std::uint64_t>& bits, std::uint16_t v) {
  return (bits[v >> 6] >> (v & 63)) & 1;
}

}  // namespace

bool Bitmap::Chunk::contains(std::uint16_t value) const {
  if (is_bitset()) return test_bit(bits, value);
  return std::binary_search(low.begin(), low.end(), value);
}

void Bitmap::to_bitset(Chunk& chunk) {
  std::vector<std::uint64_t> bits(kWords, 0);
  for (std::uint16_t v : chunk.low) set_bit(bits, v);
  chunk.bits = std::move(bits);
  chunk.low = {};
}

void Bitmap::to_array_if_small(Chunk& chunk) {
  if (!chunk.is_bitset() || chunk.cardinality > kArrayMax) return;
  std::vector<std::uint16_t> values;
  values.reserve(chunk.cardinality);
  for (std::size_t w = 0; w < kWords; ++w)
    for (std::uint64_t word = chunk.bits[w]; word != 0; word &= word - 1)
      values.push_back(static_cast<std::uint16_t>(w * 64 + std::countr_zero(word)));
  chunk.low = std::move(values);
  chunk.bits = {};
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
    chunk.low.reserve(std::min<std::size_t>(end - i, kArrayMax + 1));
    for (std::size_t j = i; j < end; ++j) {
      const std::uint16_t v = low(values[j]);
      if (!chunk.low.empty() && chunk.low.back() == v) continue;
      if (chunk.is_bitset()) {
        if (!test_bit(chunk.bits, v)) ++chunk.cardinality;
        set_bit(chunk.bits, v);
        continue;
      }
      chunk.low.push_back(v);
      ++chunk.cardinality;
      if (chunk.cardinality > kArrayMax) to_bitset(chunk);
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
  if (chunk.is_bitset()) {
    if (!test_bit(chunk.bits, v)) ++chunk.cardinality;
    set_bit(chunk.bits, v);
    return;
  }
  auto pos = std::lower_bound(chunk.low.begin(), chunk.low.end(), v);
  if (pos != chunk.low.end() && *pos == v) return;
  if (chunk.cardinality == kArrayMax) {
    Chunk grown;
    grown.key = key;
    grown.low = chunk.low;
    to_bitset(grown);
    set_bit(grown.bits, v);
    grown.cardinality = chunk.cardinality + 1;
    chunk = std::move(grown);
    return;
  }
  chunk.low.insert(pos, v);
  ++chunk.cardinality;
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

Bitmap::Chunk Bitmap::intersect_chunks(const Chunk& a, const Chunk& b) {
  Chunk out;
  out.key = a.key;
  if (a.is_bitset() && b.is_bitset()) {
    // Count first: a result that fits an array is extracted straight from the AND words,
    // without building a bitset only to convert it.
    out.cardinality = and_count(a.bits.data(), b.bits.data(), kWords);
    if (out.cardinality > kArrayMax) {
      out.bits.resize(kWords);
      and_into(a.bits.data(), b.bits.data(), out.bits.data(), kWords);
    } else {
      out.low.reserve(out.cardinality);
      for (std::size_t w = 0; w < kWords; ++w)
        for (std::uint64_t word = a.bits[w] & b.bits[w]; word != 0; word &= word - 1)
          out.low.push_back(static_cast<std::uint16_t>(w * 64 + std::countr_zero(word)));
    }
    return out;
  }
  // Values are gathered on the stack (an array chunk holds at most kArrayMax of them) and
  // copied out at their exact count: a result sized by its larger input would hold on to
  // the difference for as long as the bitmap lives, and memo levels keep thousands of them.
  std::array<std::uint16_t, kArrayMax> found;
  std::size_t n_found = 0;
  if (a.is_bitset() || b.is_bitset()) {
    const Chunk& array = a.is_bitset() ? b : a;
    const Chunk& bitset = a.is_bitset() ? a : b;
    // Written unconditionally and kept by advancing the count: no branch to mispredict.
    for (std::uint16_t v : array.low) {
      found[n_found] = v;
      n_found += test_bit(bitset.bits, v);
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
      n_found = static_cast<std::size_t>(
          std::set_intersection(small.begin(), small.end(), large.begin(), large.end(),
                                found.begin()) -
          found.begin());
    }
  }
  out.low.assign(found.begin(), found.begin() + n_found);
  out.cardinality = static_cast<std::uint32_t>(out.low.size());
  return out;
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
    Chunk chunk = intersect_chunks(a, b);
    if (chunk.cardinality > 0) out.chunks_.push_back(std::move(chunk));
  });
  return out;
}

std::uint32_t Bitmap::intersect_chunk_cardinality(const Chunk& a, const Chunk& b) {
  if (a.is_bitset() && b.is_bitset()) return and_count(a.bits.data(), b.bits.data(), kWords);
  std::uint32_t n = 0;
  if (a.is_bitset() || b.is_bitset()) {
    const Chunk& array = a.is_bitset() ? b : a;
    const Chunk& bitset = a.is_bitset() ? a : b;
    for (std::uint16_t v : array.low) n += test_bit(bitset.bits, v);
    return n;
  }
  auto x = a.low.begin(), y = b.low.begin();
  while (x != a.low.end() && y != b.low.end()) {
    if (*x < *y) {
      ++x;
    } else if (*y < *x) {
      ++y;
    } else {
      ++n;
      ++x;
      ++y;
    }
  }
  return n;
}

std::uint64_t Bitmap::intersect_cardinality(const Bitmap& other) const {
  std::uint64_t n = 0;
  for_each_shared_key(chunks_, other.chunks_,
                      [&](const Chunk& a, const Chunk& b) { n += intersect_chunk_cardinality(a, b); });
  return n;
}

Bitmap::Chunk Bitmap::unite_chunks(const Chunk& a, const Chunk& b) {
  Chunk out;
  out.key = a.key;
  if (!a.is_bitset() && !b.is_bitset()) {
    out.low.reserve(a.low.size() + b.low.size());
    std::set_union(a.low.begin(), a.low.end(), b.low.begin(), b.low.end(),
                   std::back_inserter(out.low));
    out.cardinality = static_cast<std::uint32_t>(out.low.size());
    if (out.cardinality > kArrayMax) to_bitset(out);
    return out;
  }
  out.bits.assign(kWords, 0);
  for (const Chunk* c : {&a, &b}) {
    if (c->is_bitset()) {
      for (std::size_t w = 0; w < kWords; ++w) out.bits[w] |= c->bits[w];
    } else {
      for (std::uint16_t v : c->low) set_bit(out.bits, v);
    }
  }
  out.cardinality = and_count(out.bits.data(), out.bits.data(), kWords);
  return out;
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
    for (std::size_t w = 0; w < kWords; ++w)
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
      const std::size_t n = std::min<std::uint64_t>(kWords, (limit - base) / 64);
      for (std::size_t w = 0; w < n; ++w) chunk_out[w] |= c.bits[w];
      continue;
    }
    for (std::uint16_t v : c.low)
      if (base + v < limit) chunk_out[v >> 6] |= std::uint64_t{1} << (v & 63);
  }
}

}  // namespace tallyfold
