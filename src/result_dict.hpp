#pragma once
// Building result dictionaries from engine output. Called with the interpreter lock held,
// after the engine has finished. Every helper returns a new reference or NULL with an error.
#include <cstdint>
#include <vector>

#include "numpy_api.hpp"
#include "py_ref.hpp"

namespace tallyfold {

template <class T>
constexpr int numpy_type_of();
template <> constexpr int numpy_type_of<std::int32_t>() { return NPY_INT32; }
template <> constexpr int numpy_type_of<std::uint32_t>() { return NPY_INT32; }  // same bits
template <> constexpr int numpy_type_of<std::int64_t>() { return NPY_INT64; }
template <> constexpr int numpy_type_of<std::uint64_t>() { return NPY_INT64; }  // counts < 2^63
template <> constexpr int numpy_type_of<double>() { return NPY_FLOAT64; }

// Wraps `data` in an array whose base is `capsule` (stolen, also on failure).
PyObject* array_with_base(void* data, PyObject* capsule, int typenum, int ndim, npy_intp* dims);

// A 1-D array (or, with `width`, a 2-D array of rows of that width) that takes over the
// vector's buffer without a copy and frees it when the array is collected. An empty vector
// gives shape (0,), or (0, 0) for a 2-D request.
template <class T, class Allocator>
PyObject* adopt_vector(std::vector<T, Allocator>&& values, std::size_t width = 0) {
  const int typenum = numpy_type_of<T>();
  npy_intp dims[2];
  int ndim = 1;
  dims[0] = static_cast<npy_intp>(values.size());
  if (width > 0) {
    ndim = 2;
    dims[0] = static_cast<npy_intp>(values.size() / width);
    dims[1] = static_cast<npy_intp>(width);
  }
  if (values.empty()) {
    if (ndim == 2) dims[1] = 0;
    return PyArray_ZEROS(ndim, dims, typenum, 0);
  }
  using Holder = std::vector<T, Allocator>;
  auto* holder = new Holder(std::move(values));
  PyObject* capsule = PyCapsule_New(holder, nullptr, [](PyObject* owner) {
    delete static_cast<Holder*>(PyCapsule_GetPointer(owner, nullptr));
  });
  if (capsule == nullptr) {
    delete holder;
    return nullptr;
  }
  return array_with_base(holder->data(), capsule, typenum, ndim, dims);
}

// A dict filled key by key in insertion order; a failed insertion releases everything.
class ResultDict {
 public:
  ResultDict() : dict_(PyDict_New()) {}
  bool ok() const { return static_cast<bool>(dict_); }
  // Steals `value`; returns false (with the error set) if value is NULL or insertion fails.
  bool set(const char* key, PyObject* value);
  PyObject* release() { return dict_.release(); }

 private:
  PyRef dict_;
};

}  // namespace tallyfold
