#pragma once
// A vector for result columns of millions of rows: like UninitVector it leaves elements
// uninitialised on resize, and a buffer of at least tuning::kLargePageMinBytes is placed on
// 2 MiB boundaries and offered to the kernel for transparent huge pages. Writing a fresh
// column then takes one page fault per 2 MiB instead of one per 4 KiB; on a virtual machine
// the 4 KiB faults of a 516 MB result cost more than computing it, and two threads faulting
// at once contend in the kernel. Where huge pages are unavailable the advice is ignored and
// the buffer behaves like any other.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "common/tuning.hpp"

namespace tallyfold {

// Offers the pages of [data, data + bytes) to the kernel for transparent huge pages, before
// they are first written. For buffers that must stay plain std::vectors: reserve, advise, then
// fill. Buffers below tuning::kLargePageMinBytes are left alone. Advice only: where huge
// pages are unavailable nothing changes.
inline void advise_large_pages(const void* data, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  if (data == nullptr || bytes < tuning::kLargePageMinBytes) return;
  static const auto kPage = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  if (kPage == 0) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(data) / kPage * kPage;
  const auto end = reinterpret_cast<std::uintptr_t>(data) + bytes;
  madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);  // page-aligned start
#endif
}

// Reserves room for `n` elements and advises it for huge pages; the vector is still empty.
template <class T, class A>
void reserve_on_large_pages(std::vector<T, A>& values, std::size_t n) {
  values.reserve(n);
  advise_large_pages(values.data(), values.capacity() * sizeof(T));
}

template <class T>
struct LargePageAllocator {
  using value_type = T;
  template <class U>
  struct rebind {
    using other = LargePageAllocator<U>;
  };

  LargePageAllocator() = default;
  template <class U>
  LargePageAllocator(const LargePageAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    void* p = nullptr;
    if (bytes >= tuning::kLargePageMinBytes) {
      // Aligned at the start; the advice covers the whole 2 MiB pages only, so a tail shorter
      // than one stays on small pages and no memory is held that the vector does not use.
      constexpr std::size_t kHuge = std::size_t{2} << 20;
      p = std::aligned_alloc(kHuge, (bytes + kHuge - 1) / kHuge * kHuge);
#ifdef MADV_HUGEPAGE
      if (p) madvise(p, bytes / kHuge * kHuge, MADV_HUGEPAGE);  // advice: a refusal is harmless
#endif
    } else {
      p = std::malloc(bytes == 0 ? 1 : bytes);
    }
    if (!p) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t) noexcept { std::free(p); }

  template <class U>
  void construct(U* p) noexcept(noexcept(::new (static_cast<void*>(p)) U)) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }

  template <class U>
  bool operator==(const LargePageAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using LargePageVector = std::vector<T, LargePageAllocator<T>>;

}  // namespace tallyfold
