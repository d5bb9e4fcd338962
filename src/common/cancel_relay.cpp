#include "common/cancel_relay.hpp"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

namespace tallyfold {

namespace {

// Few calls run at once and each links at most one context: a list under one mutex. The
// mutex orders a link against a cancel, so one of them always sees the other.
std::mutex links_mutex;
std::vector<std::pair<tbb::task_group_context*, tbb::task_group_context*>> links;

}  // namespace

LinkedCancellation::LinkedCancellation(tbb::task_group_context* outer,
                                       tbb::task_group_context* inner)
    : outer_(outer), inner_(inner) {
  if (outer_ == nullptr) return;
  std::lock_guard<std::mutex> hold(links_mutex);
  links.emplace_back(outer_, inner_);
  if (outer_->is_group_execution_cancelled()) inner_->cancel_group_execution();
}

LinkedCancellation::~LinkedCancellation() {
  if (outer_ == nullptr) return;
  std::lock_guard<std::mutex> hold(links_mutex);
  links.erase(std::find(links.begin(), links.end(), std::make_pair(outer_, inner_)));
}

void cancel_with_linked(tbb::task_group_context& context) {
  std::lock_guard<std::mutex> hold(links_mutex);
  context.cancel_group_execution();
  for (const auto& [outer, inner] : links)
    if (outer == &context) inner->cancel_group_execution();
}

}  // namespace tallyfold
