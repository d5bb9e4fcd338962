// The compressed bitmap against std::set: random sets that cross the array/bitset switch of a
// chunk (4096 values) and span several chunks, combined by every operation.
#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "check.hpp"
#include "common/roaring.hpp"

using namespace tallyfold;

namespace {

using Set = std::set<std::uint32_t>;

std::vector<std::uint32_t> decoded(const Bitmap& b) {
  std::vector<std::uint32_t> out;
  b.decode(out);
  return out;
}

bool same(const Bitmap& b, const Set& s) {
  return b.cardinality() == s.size() && decoded(b) == std::vector<std::uint32_t>(s.begin(), s.end());
}

// `n` values drawn from a few chunks, dense enough in some to pass 4096 per chunk.
std::vector<std::uint32_t> draw(std::mt19937& rng, std::size_t n, std::uint32_t chunk_span) {
  std::uniform_int_distribution<std::uint32_t> chunk(0, 3), offset(0, chunk_span - 1);
  std::vector<std::uint32_t> v(n);
  for (auto& x : v) x = (chunk(rng) << 16) | offset(rng);
  return v;
}

}  // namespace

int main() {
  std::mt19937 rng(7);
  for (int round = 0; round < 60; ++round) {
    const std::size_t n = round % 3 == 0 ? 20 : round % 3 == 1 ? 6000 : 30000;
    const std::uint32_t span = round % 2 == 0 ? 65536 : 9000;
    const auto va = draw(rng, n, span), vb = draw(rng, n / 2 + 1, span);
    const Set sa(va.begin(), va.end()), sb(vb.begin(), vb.end());
    const Bitmap a = Bitmap::of(va), b = Bitmap::of(vb);  // unsorted, with duplicates
    CHECK(same(a, sa));
    CHECK(same(b, sb));

    Set both;
    for (auto x : sa)
      if (sb.count(x)) both.insert(x);
    CHECK(same(a.intersect(b), both));
    CHECK(same(b.intersect(a), both));

    Set either = sa;
    either.insert(sb.begin(), sb.end());
    Bitmap u = Bitmap::of(va);
    u.unite(b);
    CHECK(same(u, either));

    Bitmap added;
    for (auto x : vb) added.add(x);
    CHECK(same(added, sb));
    for (std::uint32_t probe : {0u, 5u, 65535u, 65536u, 70000u, 200000u})
      CHECK(a.contains(probe) == (sa.count(probe) == 1));
  }

  // A chunk that shrinks below the switch after an intersection decodes the same way.
  std::vector<std::uint32_t> evens, threes;
  for (std::uint32_t x = 0; x < 65536; x += 2) evens.push_back(x);
  for (std::uint32_t x = 0; x < 65536; x += 3) threes.push_back(x);
  Set sixes;
  for (std::uint32_t x = 0; x < 65536; x += 6) sixes.insert(x);
  CHECK(same(Bitmap::of(evens).intersect(Bitmap::of(threes)), sixes));
  CHECK(Bitmap().intersect(Bitmap::of(evens)).cardinality() == 0);
  return check_failures() == 0 ? 0 : 1;
}
