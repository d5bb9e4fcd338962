#pragma once
// Binding of fast-call arguments (positional vector plus keyword names) to a function's
// parameters, then conversion of each parameter by its name. One binder serves all exported
// functions, so the interpreter-style binding messages are worded the same everywhere.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/caller_array.hpp"
#include "numpy_api.hpp"

namespace tallyfold {

inline constexpr std::size_t kMaxParams = 12;

struct Signature {
  const char* name;
  std::vector<const char*> params;  // in order; the first n_required are required
  std::size_t n_required;
  std::vector<PyObject*> interned;  // filled by prepare_signature at module init
  // Whether every conversion error (OverflowError and ValueError too, not only TypeError)
  // names its argument.
  bool name_every_error = false;
};

// Converted value of one parameter. Arrays are borrowed from the argument vector, which the
// caller keeps alive for the whole call.
struct ArgValue {
  PyArrayObject* array = nullptr;
  std::uint64_t u64 = 0;
  std::uint32_t u32 = 0;
  double f64 = 0.0;
  PyObject* object = nullptr;  // a str or a tuple, owned by the argument vector or by `owned`
  PyObject* owned = nullptr;   // a converted object this value holds a reference to
  bool flag = false;
  bool present = false;  // false for an omitted optional (or None for max_items_per_txn)
};

// Destroyed with the interpreter lock held: it drops the references conversions took.
class BoundArgs {
 public:
  BoundArgs() = default;
  BoundArgs(const BoundArgs&) = delete;
  BoundArgs& operator=(const BoundArgs&) = delete;
  ~BoundArgs() {
    for (ArgValue& v : values_) Py_XDECREF(v.owned);
  }

  const ArgValue& operator[](std::size_t i) const { return values_[i]; }
  ArgValue& operator[](std::size_t i) { return values_[i]; }

  // The caller's array, read through value loads only (any alignment, read once).
  template <class T>
  CallerArray<T> array(std::size_t i) const {
    PyArrayObject* a = values_[i].array;
    return {PyArray_DATA(a), static_cast<std::size_t>(PyArray_SIZE(a))};
  }
  // A copy of the caller's array, for calls that read their input more than once or while
  // Python code may run (a label's __hash__ can let another thread write to the array).
  template <class T>
  std::vector<T> copy(std::size_t i) const {
    const CallerArray<T> values = array<T>(i);
    std::vector<T> out(values.size());
    for (std::size_t k = 0; k < out.size(); ++k) out[k] = values.load(k);
    return out;
  }
  std::optional<std::uint64_t> optional_u64(std::size_t i) const {
    if (!values_[i].present) return std::nullopt;
    return values_[i].u64;
  }

 private:
  std::array<ArgValue, kMaxParams> values_{};
};

// Checks a signature against the parameter table and interns its keywords. A signature that
// names an unknown parameter is a coding mistake: SystemError.
bool prepare_signature(Signature& signature);

// Binds and converts; returns false with a Python exception set.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs& out);

// Contiguity of the given arrays, checked in order; the first failure decides.
bool check_all_contiguous(std::initializer_list<PyArrayObject*> arrays);

}  // namespace tallyfold
