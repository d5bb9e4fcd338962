#pragma once
#include "numpy_api.hpp"

namespace tallyfold {

// The interpreter lock is free while this object lives. The destructor re-acquires it, also
// when the engine throws, so exception translation always runs with the lock held.
class GilReleased {
 public:
  GilReleased() : saved_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(saved_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* saved_;
};

// The cyclic garbage collector does not start while this object lives. A collection runs
// finalizers, which may release the interpreter lock (closing a file does): 3.11 starts
// collections inside object allocation, 3.12 and later inside PyErr_CheckSignals. A call
// that promises to keep the lock for its whole length pauses collections meanwhile.
class GcPaused {
 public:
  GcPaused() : was_enabled_(PyGC_Disable() != 0) {}
  ~GcPaused() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPaused(const GcPaused&) = delete;
  GcPaused& operator=(const GcPaused&) = delete;

 private:
  bool was_enabled_;
};

}  // namespace tallyfold
