#pragma once
// Faults raised by the engines. Engines never touch Python: they throw these, and the
// boundary turns them into Python exceptions on the calling thread.

#include <cstdint>
#include <source_location>
#include <stdexcept>
#include <string>

namespace tallyfold {

// A violated bound or invariant (a bad item id, a short input array, a row that runs past
// its data). Thrown on the calling thread or on a pool worker; the pool rethrows a worker's
// exception on the thread that waits for the job, so it always reaches the boundary, which
// raises PanicException. The thread and source location are kept for the fault report.
class Panic : public std::runtime_error {
 public:
  explicit Panic(const std::string& message,
                 std::source_location where = std::source_location::current());
  const std::source_location& where() const noexcept { return where_; }
  const std::string& thread() const noexcept { return thread_; }

 private:
  std::source_location where_;
  std::string thread_;
};

// An input beyond what the engines can represent (offsets are 32-bit). Raised as ValueError:
// it is the caller's data, not an internal fault.
class LimitError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void panic_index_out_of_bounds(
    std::uint64_t len, std::uint64_t index,
    std::source_location where = std::source_location::current());

[[noreturn]] void panic_range_end(std::uint64_t end, std::uint64_t len,
                                  std::source_location where = std::source_location::current());

}  // namespace tallyfold
