#pragma once
// A vector whose resize() leaves trivially constructible elements uninitialised: result
// columns of hundreds of millions of entries are written in full right after sizing, so
// zero-filling them first would only cost a pass over memory.

#include <memory>
#include <vector>

namespace tallyfold {

template <class T>
struct DefaultInitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  using std::allocator<T>::allocator;
  template <class U>
  void construct(U* p) noexcept(noexcept(::new (static_cast<void*>(p)) U)) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

template <class T>
using UninitVector = std::vector<T, DefaultInitAllocator<T>>;

}  // namespace tallyfold
