#pragma once
// Growing Swiss tables so that running out of memory raises instead of aborting.
//
// An absl flat_hash_map/set records its new capacity before it allocates the larger slot
// array. When that allocation throws, the table is left holding its old slots under the new
// capacity, and its destructor frees memory it never allocated: for a table that was still
// empty a shared static block, so the process aborts ("free(): invalid pointer") while the
// exception unwinds, instead of the call raising MemoryError. So a table is never left to grow
// by itself: the larger one is built by the constructor, where a failed allocation leaves
// nothing behind, the entries move over without allocating, and only then does it replace
// the old one. Entries are never erased from our tables, so a table whose size stays within
// growth_limit(capacity) never allocates on insert.

#include <cstddef>
#include <utility>

namespace tallyfold {

// Entries a table of `capacity` slots takes without growing. The table's own limit is
// capacity - capacity / 8 (6 of 7 for the smallest groups); this stays at or below it.
inline std::size_t growth_limit(std::size_t capacity) { return capacity / 8 * 7 + capacity % 8 * 7 / 8; }

// Makes room for `entries` entries in all, so that inserting up to that many never allocates.
template <class Table>
void reserve_safely(Table& table, std::size_t entries) {
  if (entries <= growth_limit(table.capacity())) return;
  Table larger(entries + entries / 7 + 8, table.hash_function(), table.key_eq(),
               table.get_allocator());
  for (auto& entry : table) larger.insert(std::move(entry));
  table = std::move(larger);
}

// Makes room for one more entry, doubling the table when it is full: call before every insert
// into a table that was not reserved for all it will hold.
template <class Table>
void make_room_for_one(Table& table) {
  if (table.size() < growth_limit(table.capacity())) return;
  reserve_safely(table, 2 * table.size() + 16);
}

}  // namespace tallyfold
