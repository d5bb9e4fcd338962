#include "classic/tid_sets.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "common/tuning.hpp"

namespace tallyfold {

namespace {

// First position at or after `from` whose value is >= x: doubling steps, then a binary search
// inside the last step. Cheap when successive probes land close together.
std::size_t gallop(std::span<const std::uint32_t> list, std::size_t from, std::uint32_t x) {
  std::size_t step = 1, hi = from;
  while (hi < list.size() && list[hi] < x) {
    from = hi + 1;
    hi += step;
    step <<= 1;
  }
  hi = std::min(hi, list.size());
  return static_cast<std::size_t>(
      std::lower_bound(list.begin() + static_cast<std::ptrdiff_t>(from),
                       list.begin() + static_cast<std::ptrdiff_t>(hi), x) -
      list.begin());
}

bool gallops(std::size_t shorter, std::size_t longer) {
  return shorter * tuning::kGallopLengthRatio < longer;
}

}  // namespace

std::size_t intersect_lists(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b,
                            std::uint32_t* out) {
  if (a.size() > b.size()) std::swap(a, b);
  std::size_t n = 0;
  if (gallops(a.size(), b.size())) {
    std::size_t j = 0;
    for (std::uint32_t x : a) {
      j = gallop(b, j, x);
      if (j == b.size()) break;
      if (b[j] == x) out[n++] = x;
    }
    return n;
  }
  // Branch-free merge: which side advances is data, not control flow, so unpredictable
  // interleavings cost no mispredictions. The speculative write lands at n <= min(i, j),
  // inside the room `out` has.
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const std::uint32_t x = a[i], y = b[j];
    out[n] = x;
    n += x == y;
    i += x <= y;
    j += y <= x;
  }
  return n;
}

std::uint32_t intersect_count(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b,
                              std::uint32_t min_count) {
  if (a.size() > b.size()) std::swap(a, b);
  if (a.size() < min_count) return 0;
  std::uint32_t n = 0;
  if (gallops(a.size(), b.size())) {
    std::size_t j = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (n + (a.size() - i) < min_count) return n;
      j = gallop(b, j, a[i]);
      if (j == b.size()) break;
      n += b[j] == a[i];
    }
    return n;
  }
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (n + std::min(a.size() - i, b.size() - j) < min_count) return n;
    const std::uint32_t x = a[i], y = b[j];
    n += x == y;
    i += x <= y;
    j += y <= x;
  }
  return n;
}

double intersect_cost(std::size_t a, std::size_t b) {
  const double shorter = static_cast<double>(std::min(a, b));
  const double longer = static_cast<double>(std::max(a, b));
  if (gallops(std::min(a, b), std::max(a, b)))
    return shorter * (1.0 + std::log2(longer / shorter)) * tuning::kGallopProbeCost;
  return a + b;
}

}  // namespace tallyfold
