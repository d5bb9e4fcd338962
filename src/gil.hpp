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

}  // namespace tallyfold
