#pragma once
// Cancellation across task arenas. The tasks of a nested arena (a call that bounds its
// threads) do not inherit the cancellation of the task group that started them, so the
// nested work runs under a context of its own, linked here to the caller's; cancelling the
// caller's context through cancel_with_linked() cancels every context linked to it as well.

#include <tbb/task_group.h>

namespace tallyfold {

// Links `inner` to `outer` for as long as the object lives. When `outer` is cancelled
// already, `inner` is cancelled at once.
class LinkedCancellation {
 public:
  LinkedCancellation(tbb::task_group_context* outer, tbb::task_group_context* inner);
  ~LinkedCancellation();
  LinkedCancellation(const LinkedCancellation&) = delete;
  LinkedCancellation& operator=(const LinkedCancellation&) = delete;

 private:
  tbb::task_group_context* outer_;
  tbb::task_group_context* inner_;
};

// Cancels `context` and every context linked to it, now and later. Any thread.
void cancel_with_linked(tbb::task_group_context& context);

}  // namespace tallyfold
