#pragma once
// A caller's input array as the engines see it: a length and a base address, read only by
// value. Two reasons keep engines from indexing the caller's buffer as a plain T array:
//   - the buffer may sit at any byte offset (a NumPy view into a bytes object), and a T
//     load from a misaligned address is undefined behaviour; load() copies the bytes instead,
//     which compilers turn into one unaligned load on the targets we build for;
//   - another Python thread may write to the array while the interpreter lock is released,
//     so a value may change between two reads. Engines therefore load every value once, check
//     it as they copy it into their own structures, and never return to the caller's buffer.

#include <cstddef>
#include <cstring>
#include <ranges>
#include <span>
#include <type_traits>

namespace tallyfold {

template <class T>
class CallerArray {
  static_assert(std::is_trivially_copyable_v<T>, "values are loaded by copying their bytes");

 public:
  CallerArray() = default;
  CallerArray(const void* data, std::size_t size)
      : bytes_(static_cast<const unsigned char*>(data)), size_(size) {}
  // Any contiguous range of T (a vector or span in tests and internal callers).
  template <std::ranges::contiguous_range Range>
    requires std::is_same_v<std::ranges::range_value_t<Range>, T>
  CallerArray(const Range& values)  // NOLINT: implicit on purpose
      : CallerArray(std::ranges::data(values), std::ranges::size(values)) {}

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // The value at `i` (< size()). Each call reads the caller's memory afresh.
  T load(std::size_t i) const {
    T value;
    std::memcpy(&value, bytes_ + i * sizeof(T), sizeof(T));
    return value;
  }

 private:
  const unsigned char* bytes_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace tallyfold
