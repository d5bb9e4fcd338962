#pragma once
// Owns one strong reference; release() hands it on (to a dict, or to an array as its base).
#include "numpy_api.hpp"

namespace tallyfold {

class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* owned) noexcept : obj_(owned) {}
  PyRef(PyRef&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = other.obj_;
      other.obj_ = nullptr;
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  PyObject* release() noexcept {
    PyObject* o = obj_;
    obj_ = nullptr;
    return o;
  }

 private:
  PyObject* obj_ = nullptr;
};

}  // namespace tallyfold
