#pragma once
// A move-only compressed bitmap of 32-bit values in the Roaring layout: values are grouped by
// their high 16 bits into chunks, and each chunk holds its low halves as an ascending array
// or as a bitset, whichever is smaller. A chunk's bitset stops at the word of its highest
// value instead of spanning all 65,536: transaction numbers end at the number of
// transactions, so on a few thousand transactions an item's chunk is a bitset of a few
// dozen words where a full-width rule would keep thousands of values as an array, and every
// intersection would be a merge of those arrays instead of a pass over the words.
//
// Why our own containers and not the CRoaring library: it does not report a failed
// allocation. The 0.2 releases (Debian 12) have no memory hook at all and dereference or
// assert on a NULL from malloc deep inside an operation; later releases add
// roaring_init_memory_hook, but a hook can only return NULL too (a C++ exception must not
// unwind through C frames), and the library makes no promise to survive that. Checking each
// call's result cannot help when the crash happens inside the call, and reserving memory
// ahead cannot bound what an intersection or union allocates. Here every allocation goes
// through std::vector and throws std::bad_alloc, which unwinds through destructors and
// reaches the caller as MemoryError, with nothing half-built left behind, whatever the
// library version installed. The operations
// the engines need are few (build, add, cardinality, membership, intersection into a new
// bitmap, in-place union, ascending decode), and each is a set operation whose answer does
// not depend on how the set is stored, so results are those of any other bitmap.
//
// A default-constructed or moved-from Bitmap is empty and valid; moving never allocates.

#include <cstdint>
#include <span>
#include <vector>

namespace tallyfold {

class Bitmap {
 public:
  Bitmap() noexcept = default;
  Bitmap(Bitmap&& other) noexcept = default;
  Bitmap& operator=(Bitmap&& other) noexcept = default;
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;

  // The bitmap of the given values, in any order, duplicates allowed.
  static Bitmap of(std::span<const std::uint32_t> values);

  void add(std::uint32_t value);

  std::uint64_t cardinality() const;
  bool empty() const { return chunks_.empty(); }
  bool contains(std::uint32_t value) const;

  // A new bitmap holding the values present in both.
  Bitmap intersect(const Bitmap& other) const;
  // The same written over `out` (not this bitmap nor `other`), reusing the room it has: for
  // a bitmap rebuilt again and again, such as one depth of a walk along sorted itemsets.
  void intersect_into(const Bitmap& other, Bitmap& out) const;
  // The number of values present in both, without building their bitmap.
  std::uint64_t intersect_cardinality(const Bitmap& other) const;

  // Adds every value of `other` in place. On a failed allocation this bitmap is unchanged.
  void unite(const Bitmap& other);

  // Writes the values in ascending order to `out`, which has room for cardinality() values.
  void copy_to(std::uint32_t* out) const;

  // The values in ascending order, written over `out`.
  void decode(std::vector<std::uint32_t>& out) const {
    out.resize(cardinality());
    copy_to(out.data());
  }

  // Sets in `out` (a bitset of `words` 64-bit words) the bit of every value below
  // 64 * words; a bitset chunk is copied word by word instead of decoded value by value.
  void or_into_bits(std::uint64_t* out, std::size_t words) const;

  // Words of a full chunk's bitset; an array never holds more than 4 values a word of the
  // bitset it would otherwise be, so at most this many times 4.
  static constexpr std::size_t kWords = 65536 / 64;
  static constexpr std::uint32_t kArrayMax = 4 * kWords;

  // Whether a chunk of `cardinality` values whose highest low half is `top` is a bitset: an
  // array takes 2 bytes a value, the bitset 8 bytes a word up to the word of `top`. The form
  // is a function of the values alone, whichever operation made the chunk.
  static bool prefers_bitset(std::uint32_t cardinality, std::uint16_t top) {
    return cardinality > 4 * (std::uint32_t{top} / 64 + 1);
  }

 private:
  struct Chunk {
    std::uint16_t key = 0;           // the high 16 bits of every value in the chunk
    std::uint32_t cardinality = 0;   // never 0: empty chunks are not kept
    std::vector<std::uint16_t> low;  // ascending low halves, when an array
    // When a bitset: the words up to the one holding the highest value, which is never 0.
    std::vector<std::uint64_t> bits;

    bool is_bitset() const { return !bits.empty(); }
    bool contains(std::uint16_t value) const;
  };

  // Writes the chunk of the values in both over `out` (cardinality 0 when none).
  static void intersect_chunks(const Chunk& a, const Chunk& b, Chunk& out);
  static std::uint32_t intersect_chunk_cardinality(const Chunk& a, const Chunk& b);
  static Chunk unite_chunks(const Chunk& a, const Chunk& b);
  // Turns an array chunk into a bitset where its values call for one.
  static void settle_array(Chunk& chunk);
  // The chunk of the values set in the first `n` of `words` (0 values: cardinality 0), of
  // whose bits `count` are set when the caller knows it (kUncounted when not).
  static constexpr std::uint32_t kUncounted = 0xFFFFFFFFu;
  static Chunk chunk_of_words(std::uint16_t key, const std::uint64_t* words, std::size_t n,
                              std::uint32_t count = kUncounted) {
    Chunk out;
    chunk_of_words(key, words, n, count, out);
    return out;
  }
  // The same written over `out`, reusing the room its arrays have.
  static void chunk_of_words(std::uint16_t key, const std::uint64_t* words, std::size_t n,
                             std::uint32_t count, Chunk& out);

  std::vector<Chunk> chunks_;  // ascending keys
};

}  // namespace tallyfold
