#pragma once
// Running engine work so that Ctrl-C stops it. The work runs on the process-wide pool under
// a task group of its own while the calling thread waits; every 50 ms the waiting thread
// holds the interpreter lock for a moment and asks the interpreter for pending signals.
// When a handler raises (Ctrl-C raises KeyboardInterrupt), the group is cancelled, the
// engines stop at their next check (common/cancel.hpp), whatever they built is freed, and
// the call ends with the handler's exception. The pool stays usable for the next call.
//
// Shared by every extension module of the package: any entry that runs engine work goes
// through run_interruptible.
#include <functional>

#include "numpy_api.hpp"

namespace tallyfold {

enum class InterpreterLock {
  kReleased,  // other Python threads run while the work does
  kHeld,      // the caller keeps the lock throughout (signals are still checked)
};

// Runs `work` on the pool and returns when it has finished. Must be called with the
// interpreter lock held; returns with it held. An exception thrown by `work` is rethrown
// here. When a signal handler raised meanwhile, its Python exception is set and
// PythonErrorSet is thrown; the work's results must then be dropped (they may be partial).
// `work` must not touch Python objects: it runs on a pool thread.
void run_interruptible(InterpreterLock lock, const std::function<void()>& work);

// Called by the waiting thread with the interpreter lock held, at each look at the signals
// (about every 50 ms) while the work runs: a progress display reads the work's counters here.
// Returning false, with a Python exception set, cancels the work as Ctrl-C does.
using WaitHook = std::function<bool()>;

// As above, calling `on_wait` while the work runs.
void run_interruptible(InterpreterLock lock, const std::function<void()>& work,
                       const WaitHook& on_wait);

}  // namespace tallyfold
