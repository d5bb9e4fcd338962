#include "errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "common/panic.hpp"

namespace tallyfold {

namespace {

[[noreturn]] void abort_at_boundary() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

void raise_panic(const std::string& message, const std::string& thread, const char* file,
                 unsigned line) {
  const std::string text = message.empty() ? std::string("internal fault") : message;
  // Report paths from the source tree's root, not the build machine's absolute path.
  const std::string where(file);
  const std::size_t src = where.rfind("/src/");
  file = src == std::string::npos ? file : file + src + 1;
  std::fprintf(stderr, "tallyfold: internal fault on thread %s at %s:%u: %s\n", thread.c_str(),
               file, line, text.c_str());
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;
  PyErr_SetString(type, text.c_str());
}

}  // namespace

namespace {
PyObject* shared_panic_type = nullptr;  // a strong reference, kept for the process
}  // namespace

bool share_panic_exception_type(PyObject* type) {
  if (!PyExceptionClass_Check(type)) {
    PyErr_SetString(PyExc_TypeError, "PanicException is not an exception class");
    return false;
  }
  Py_INCREF(type);
  Py_XSETREF(shared_panic_type, type);
  return true;
}

PyObject* panic_exception_type() {
  if (shared_panic_type != nullptr) return shared_panic_type;
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "_tallyfold.PanicException",
        "An internal fault of the engine (a violated bound or invariant, such as an item id "
        "outside 0..n_items-1). Derives from BaseException, not Exception.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void set_error_from_current_exception() noexcept {
  try {
    try {
      throw;
    } catch (const PythonErrorSet&) {
      // The exception is set already.
    } catch (const Panic& panic) {
      raise_panic(panic.what(), panic.thread(), panic.where().file_name(), panic.where().line());
    } catch (const LimitError& limit) {
      PyErr_SetString(PyExc_ValueError, limit.what());
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& other) {
      raise_panic(other.what(), "unknown", "unknown", 0);
    } catch (...) {
      raise_panic("", "unknown", "unknown", 0);
    }
  } catch (...) {
    abort_at_boundary();
  }
}

}  // namespace tallyfold
