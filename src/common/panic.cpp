#include "common/panic.hpp"

#include <sstream>
#include <thread>

namespace tallyfold {

namespace {
std::string current_thread_name() {
  std::ostringstream name;
  name << std::this_thread::get_id();
  return name.str();
}
}  // namespace

Panic::Panic(const std::string& message, std::source_location where)
    : std::runtime_error(message), where_(where), thread_(current_thread_name()) {}

void panic_index_out_of_bounds(std::uint64_t len, std::uint64_t index,
                               std::source_location where) {
  throw Panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                  std::to_string(index),
              where);
}

void panic_range_end(std::uint64_t end, std::uint64_t len, std::source_location where) {
  throw Panic("range end index " + std::to_string(end) + " out of range for slice of length " +
                  std::to_string(len),
              where);
}

}  // namespace tallyfold
