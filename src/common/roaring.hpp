#pragma once
// A move-only owner of one 32-bit Roaring bitmap. Only calls present in every CRoaring
// release we build against are used (create, free, add_many, and, or_inplace, cardinality,
// contains, to_uint32_array), so the wrapper builds with old and new C APIs alike.
// A default-constructed or moved-from Bitmap holds no bitmap and behaves as the empty set.

#include <cstdint>
#include <new>
#include <span>
#include <vector>

#include <roaring/roaring.h>

namespace tallyfold {

class Bitmap {
 public:
  Bitmap() noexcept = default;
  // Moving never allocates: the source is left empty and valid.
  Bitmap(Bitmap&& other) noexcept : bits_(other.bits_) { other.bits_ = nullptr; }
  Bitmap& operator=(Bitmap&& other) noexcept {
    if (this != &other) {
      reset();
      bits_ = other.bits_;
      other.bits_ = nullptr;
    }
    return *this;
  }
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;
  ~Bitmap() { reset(); }

  // The bitmap of ascending (or any) values.
  static Bitmap of(std::span<const std::uint32_t> values) {
    Bitmap b;
    b.bits_ = checked(roaring_bitmap_create());
    if (!values.empty()) roaring_bitmap_add_many(b.bits_, values.size(), values.data());
    return b;
  }

  void add(std::uint32_t value) {
    if (bits_ == nullptr) bits_ = checked(roaring_bitmap_create());
    roaring_bitmap_add(bits_, value);
  }

  std::uint64_t cardinality() const { return bits_ ? roaring_bitmap_get_cardinality(bits_) : 0; }
  bool empty() const { return cardinality() == 0; }
  bool contains(std::uint32_t value) const {
    return bits_ != nullptr && roaring_bitmap_contains(bits_, value);
  }

  // A new bitmap holding the values present in both.
  Bitmap intersect(const Bitmap& other) const {
    Bitmap out;
    if (bits_ != nullptr && other.bits_ != nullptr)
      out.bits_ = checked(roaring_bitmap_and(bits_, other.bits_));
    return out;
  }

  // Adds every value of `other` in place.
  void unite(const Bitmap& other) {
    if (other.bits_ == nullptr) return;
    if (bits_ == nullptr) bits_ = checked(roaring_bitmap_create());
    roaring_bitmap_or_inplace(bits_, other.bits_);
  }

  // Writes the values in ascending order to `out`, which has room for cardinality() values.
  void copy_to(std::uint32_t* out) const {
    if (bits_ != nullptr) roaring_bitmap_to_uint32_array(bits_, out);
  }

  // The values in ascending order, written over `out`.
  void decode(std::vector<std::uint32_t>& out) const {
    out.resize(cardinality());
    if (!out.empty()) roaring_bitmap_to_uint32_array(bits_, out.data());
  }

 private:
  static roaring_bitmap_t* checked(roaring_bitmap_t* bits) {
    if (bits == nullptr) throw std::bad_alloc();
    return bits;
  }
  void reset() noexcept {
    if (bits_ != nullptr) roaring_bitmap_free(bits_);
    bits_ = nullptr;
  }

  roaring_bitmap_t* bits_ = nullptr;
};

}  // namespace tallyfold
