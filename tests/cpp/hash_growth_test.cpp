// Swiss tables grown ahead of their inserts: an insert after make_room_for_one never
// allocates, and an allocation that fails while growing leaves the table whole (every entry
// still found, its memory freed by the right owner; the sanitizer run checks the frees).
// A table left to grow by itself aborted in its destructor after such a failure.
#include "common/hash_growth.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <new>

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>
#include <absl/hash/hash.h>

#include "check.hpp"

using namespace tallyfold;

namespace {

// Allocations left before the next one throws, shared by every copy of the allocator.
struct Budget {
  long left = 1L << 40;
};

template <class T>
struct BudgetAllocator {
  using value_type = T;
  Budget* budget;
  explicit BudgetAllocator(Budget* b) : budget(b) {}
  template <class U>
  BudgetAllocator(const BudgetAllocator<U>& other) noexcept : budget(other.budget) {}
  T* allocate(std::size_t n) {
    if (budget->left <= 0) throw std::bad_alloc();
    --budget->left;
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, std::size_t n) noexcept { std::allocator<T>().deallocate(p, n); }
  template <class U>
  bool operator==(const BudgetAllocator<U>& other) const noexcept {
    return budget == other.budget;
  }
};

using Set = absl::flat_hash_set<std::uint64_t, absl::Hash<std::uint64_t>,
                                std::equal_to<std::uint64_t>, BudgetAllocator<std::uint64_t>>;
using Map = absl::flat_hash_map<std::int64_t, std::uint32_t, absl::Hash<std::int64_t>,
                                std::equal_to<std::int64_t>,
                                BudgetAllocator<std::pair<const std::int64_t, std::uint32_t>>>;

std::uint64_t key(std::uint64_t i) { return i * 0x9E3779B97F4A7C15ull; }

bool holds_first(const Set& set, std::uint64_t n) {
  if (set.size() != n) return false;
  for (std::uint64_t i = 0; i < n; ++i)
    if (!set.contains(key(i))) return false;
  return true;
}

}  // namespace

int main() {
  // After make_room_for_one, the insert itself never allocates, at every size up to 20,000.
  {
    Budget budget;
    Set set(0, Set::hasher(), Set::key_equal(), BudgetAllocator<std::uint64_t>(&budget));
    bool insert_allocated = false;
    for (std::uint64_t i = 0; i < 20000; ++i) {
      budget.left = 1L << 40;
      make_room_for_one(set);
      budget.left = 0;
      try {
        set.insert(key(i));
      } catch (const std::bad_alloc&) {
        insert_allocated = true;
        break;
      }
    }
    budget.left = 1L << 40;
    CHECK(!insert_allocated);
    CHECK(holds_first(set, 20000));
  }

  // A reservation that fails on an empty table leaves it empty and usable.
  {
    Budget budget;
    Set set(0, Set::hasher(), Set::key_equal(), BudgetAllocator<std::uint64_t>(&budget));
    budget.left = 0;
    CHECK(throws<std::bad_alloc>([&] { reserve_safely(set, 100000); }));
    budget.left = 1L << 40;
    CHECK(set.empty());
    reserve_safely(set, 100);
    for (std::uint64_t i = 0; i < 100; ++i) set.insert(key(i));
    CHECK(holds_first(set, 100));
  }

  // A growth that fails on a full table keeps every entry, and growing later works.
  {
    Budget budget;
    Set set(0, Set::hasher(), Set::key_equal(), BudgetAllocator<std::uint64_t>(&budget));
    std::uint64_t n = 0;
    bool failed = false;
    budget.left = 4;  // a few doublings, then the next one fails
    while (n < 100000) {
      try {
        make_room_for_one(set);
      } catch (const std::bad_alloc&) {
        failed = true;
        break;
      }
      set.insert(key(n++));
    }
    CHECK(failed);
    CHECK(n > 16 && holds_first(set, n));
    budget.left = 1L << 40;
    const std::uint64_t target = n + 5000;
    for (; n < target; ++n) {
      make_room_for_one(set);
      set.insert(key(n));
    }
    CHECK(holds_first(set, target));
  }

  // Maps move their values over with their keys.
  {
    Budget budget;
    Map map(0, Map::hasher(), Map::key_equal(), BudgetAllocator<std::pair<const std::int64_t, std::uint32_t>>(&budget));
    for (std::int64_t i = 0; i < 3000; ++i) {
      make_room_for_one(map);
      map.try_emplace(-i * 977, static_cast<std::uint32_t>(i));
    }
    budget.left = 0;
    CHECK(throws<std::bad_alloc>([&] { reserve_safely(map, 1000000); }));
    bool kept = map.size() == 3000;
    for (std::int64_t i = 0; i < 3000; ++i) {
      auto it = map.find(-i * 977);
      kept = kept && it != map.end() && it->second == static_cast<std::uint32_t>(i);
    }
    CHECK(kept);
    budget.left = 1L << 40;
  }
  return check_failures() == 0 ? 0 : 1;
}
