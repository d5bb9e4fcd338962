// The result-column vector: large buffers start on a 2 MiB boundary, contents survive growth
// across the size where huge pages start, and elements are left unset by resize (only what
// is written is read back).
#include "common/large_page_vector.hpp"

#include <cstdint>
#include <vector>

#include "check.hpp"

using namespace tallyfold;

int main() {
  LargePageVector<std::uint64_t> column;
  bool kept = true;
  for (std::uint64_t k = 0; k < (std::uint64_t{3} << 20); ++k) {
    column.push_back(k * 7);
    if ((k & (k + 1)) == 0) kept = kept && column[k / 2] == (k / 2) * 7;  // across each growth
  }
  CHECK(kept);
  CHECK(column.size() == (std::size_t{3} << 20));
  CHECK(reinterpret_cast<std::uintptr_t>(column.data()) % (std::uintptr_t{2} << 20) == 0);
  CHECK(column.back() == ((std::uint64_t{3} << 20) - 1) * 7);

  // Small buffers come from the ordinary heap, empty ones too.
  LargePageVector<double> small(3);
  small[0] = 1.5;
  CHECK(small.size() == 3 && small[0] == 1.5);
  LargePageVector<double> empty;
  empty.reserve(0);
  CHECK(empty.empty());

  // Plain vectors advised before their first write hold what is written.
  std::vector<std::uint32_t> advised;
  reserve_on_large_pages(advised, std::size_t{1} << 22);
  advised.assign(std::size_t{1} << 22, 5);
  CHECK(advised.size() == (std::size_t{1} << 22) && advised.front() == 5 && advised.back() == 5);
  return check_failures() == 0 ? 0 : 1;
}
