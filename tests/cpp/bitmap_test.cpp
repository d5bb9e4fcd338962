// The compressed bitmap against std::set: random sets that cross the array/bitset switch of a
// chunk (4 values a word of the bitset up to the chunk's highest value) and span several
// chunks, combined by every operation.
#include <bit>
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
  // Spans from a few words (where a bitset holds the values of a few thousand transactions)
  // to a full chunk; set sizes on both sides of each span's switch.
  const std::uint32_t spans[] = {65536, 9000, 3196, 300, 64};
  const std::size_t sizes[] = {20, 150, 1400, 6000, 30000};
  Bitmap reused;
  for (int round = 0; round < 150; ++round) {
    const std::size_t n = sizes[round % 5];
    const std::uint32_t span = spans[(round / 5) % 5];
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
    // Written over a bitmap kept from the rounds before, whatever its chunks held.
    a.intersect_into(b, reused);
    CHECK(same(reused, both));

    Set either = sa;
    either.insert(sb.begin(), sb.end());
    Bitmap u = Bitmap::of(va);
    u.unite(b);
    CHECK(same(u, either));

    Bitmap added;
    for (auto x : vb) added.add(x);
    CHECK(same(added, sb));
    // Descending, each value widens a bitset chunk past its last word.
    Bitmap widened;
    for (auto it = sb.rbegin(); it != sb.rend(); ++it) widened.add(*it);
    CHECK(same(widened, sb));
    CHECK(a.intersect_cardinality(b) == both.size());
    std::vector<std::uint64_t> bits(2 * 1024 + 8, 0);  // chunks 0 and 1 and 8 words of chunk 2
    a.or_into_bits(bits.data(), bits.size());
    std::size_t set = 0;
    for (std::uint64_t w : bits) set += std::popcount(w);
    std::size_t below = 0;
    for (auto x : sa) below += x < bits.size() * 64;
    CHECK(set == below);
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

  // A dense chunk meeting one whose values all lie above its last word, and the reverse.
  std::vector<std::uint32_t> low_dense, high_sparse;
  for (std::uint32_t x = 0; x < 640; ++x) low_dense.push_back(x);
  for (std::uint32_t x = 5000; x < 60000; x += 700) high_sparse.push_back(x);
  CHECK(Bitmap::of(low_dense).intersect(Bitmap::of(high_sparse)).empty());
  CHECK(Bitmap::of(high_sparse).intersect_cardinality(Bitmap::of(low_dense)) == 0);
  Bitmap both_ends = Bitmap::of(low_dense);
  both_ends.unite(Bitmap::of(high_sparse));
  CHECK(both_ends.cardinality() == low_dense.size() + high_sparse.size());
  CHECK(both_ends.contains(5700) && both_ends.contains(639) && !both_ends.contains(640));
  return check_failures() == 0 ? 0 : 1;
}
