#pragma once
// Conversion of one Python argument to a native value. Each helper returns false with a
// Python exception set on failure; the binder adds the argument prefix to TypeErrors.
#include <cstdint>
#include <optional>

#include "numpy_api.hpp"

namespace tallyfold {

// `obj` must be an ndarray (or subclass) with exactly `ndim` dimensions and a dtype NumPy
// considers equivalent to `typenum`. No cast, no copy: `*out` borrows the caller's array.
bool convert_array(PyObject* obj, int typenum, int ndim, PyArrayObject** out);

// Any integer-index object in 0..2^64-1; negative or larger values raise OverflowError.
bool convert_u64(PyObject* obj, std::uint64_t* out);

// Any integer-index object in 0..4294967295.
bool convert_u32(PyObject* obj, std::uint32_t* out);

// Anything the interpreter converts to a float (None is rejected).
bool convert_f64(PyObject* obj, double* out);

// "The given array is not contiguous" unless C- or Fortran-contiguous.
bool check_contiguous(PyArrayObject* array);

}  // namespace tallyfold
