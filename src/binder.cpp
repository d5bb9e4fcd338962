#include "binder.hpp"

#include <algorithm>
#include <string>

#include "convert.hpp"
#include "params.hpp"
#include "py_ref.hpp"

namespace tallyfold {

namespace {

// Keyword lookup: interned names match by identity; other str objects by value.
Py_ssize_t find_param(const Signature& signature, PyObject* keyword) {
  const auto n = static_cast<Py_ssize_t>(signature.interned.size());
  for (Py_ssize_t i = 0; i < n; ++i)
    if (signature.interned[i] == keyword) return i;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const int cmp = PyUnicode_Compare(signature.interned[i], keyword);
    if (cmp == 0) return i;
    if (cmp == -1 && PyErr_Occurred()) PyErr_Clear();
  }
  return -1;
}

void set_too_many_positional(const Signature& signature, Py_ssize_t given) {
  const std::size_t total = signature.params.size();
  if (signature.n_required == total) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given",
                 signature.name, total, total == 1 ? "" : "s", given,
                 given == 1 ? "was" : "were");
  } else {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zu to %zu positional arguments but %zd %s given",
                 signature.name, signature.n_required, total, given,
                 given == 1 ? "was" : "were");
  }
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's own list style.
void set_missing(const Signature& signature, const std::vector<const char*>& missing) {
  std::string names;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    names += "'";
    names += missing[i];
    names += "'";
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
               signature.name, missing.size(), missing.size() == 1 ? "" : "s", names.c_str());
}

// A conversion TypeError becomes "argument '<name>': <message>", keeping the original cause;
// with `every_error`, so do OverflowError and ValueError, keeping their type.
void prefix_conversion_error(const char* param, bool every_error) {
  PyObject* kind = PyExc_TypeError;
  if (every_error && PyErr_ExceptionMatches(PyExc_OverflowError)) kind = PyExc_OverflowError;
  else if (every_error && PyErr_ExceptionMatches(PyExc_ValueError)) kind = PyExc_ValueError;
  if (!PyErr_ExceptionMatches(kind)) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef type_ref(type), value_ref(value), traceback_ref(traceback);
  PyRef text(PyObject_Str(value));
  if (!text) return;
  PyRef message(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (!message) return;
  PyRef replacement(PyObject_CallOneArg(kind, message.get()));
  if (!replacement) return;
  if (PyObject* cause = PyException_GetCause(value)) PyException_SetCause(replacement.get(), cause);
  PyErr_SetObject(kind, replacement.get());
}

}  // namespace

bool prepare_signature(Signature& signature) {
  if (signature.params.size() > kMaxParams || signature.n_required > signature.params.size()) {
    PyErr_Format(PyExc_SystemError, "%s: bad parameter table", signature.name);
    return false;
  }
  signature.interned.clear();
  for (const char* param : signature.params) {
    if (!param_kind(param)) {
      PyErr_Format(PyExc_SystemError, "%s: unknown parameter '%s'", signature.name, param);
      return false;
    }
    PyObject* name = PyUnicode_InternFromString(param);
    if (name == nullptr) return false;
    signature.interned.push_back(name);  // kept for the life of the process
  }
  return true;
}

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs& out) {
  const std::size_t n_params = signature.params.size();
  // The interpreter's order: keyword faults first, then too many positionals, then missing.
  std::array<PyObject*, kMaxParams> slots{};
  const auto bound_positional = std::min<std::size_t>(static_cast<std::size_t>(nargs), n_params);
  for (std::size_t i = 0; i < bound_positional; ++i) slots[i] = args[i];

  const Py_ssize_t n_keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < n_keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    const Py_ssize_t i = find_param(signature, keyword);
    if (i < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                   signature.name, keyword);
      return false;
    }
    if (slots[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                   signature.name, signature.params[i]);
      return false;
    }
    slots[i] = args[nargs + k];
  }
  if (static_cast<std::size_t>(nargs) > n_params) {
    set_too_many_positional(signature, nargs);
    return false;
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < signature.n_required; ++i)
    if (slots[i] == nullptr) missing.push_back(signature.params[i]);
  if (!missing.empty()) {
    set_missing(signature, missing);
    return false;
  }

  for (std::size_t i = 0; i < n_params; ++i) {
    const ParamKind kind = *param_kind(signature.params[i]);
    if (!convert_param(kind, slots[i], out[i])) {
      prefix_conversion_error(signature.params[i], signature.name_every_error);
      return false;
    }
  }
  return true;
}

bool check_all_contiguous(std::initializer_list<PyArrayObject*> arrays) {
  for (PyArrayObject* array : arrays)
    if (!check_contiguous(array)) return false;
  return true;
}

}  // namespace tallyfold
