#pragma once
// Translation of engine faults into Python exceptions: the one place where C++ exceptions
// stop. No C++ exception ever reaches the interpreter.
#include <exception>

#include "numpy_api.hpp"

namespace tallyfold {

// The PanicException class (a direct subclass of BaseException, so `except Exception` does
// not swallow an internal fault). Created once; borrowed reference, or NULL with an error set.
PyObject* panic_exception_type();

// Makes `type` (a subclass of BaseException) the class panic_exception_type() returns, so a
// second module raises the first one's class. Call before any fault can be raised.
bool share_panic_exception_type(PyObject* type);
// Thrown on the calling thread when a Python exception is already set (for instance the
// KeyboardInterrupt of a signal handler): the translation leaves that exception as it is.
class PythonErrorSet : public std::exception {
 public:
  const char* what() const noexcept override { return "a Python exception is set"; }
};

// Sets the Python exception for the C++ exception currently being handled.
void set_error_from_current_exception() noexcept;

// Runs one exported function's body. Any C++ exception becomes a Python exception; if even
// that translation fails, the process aborts: nothing unwinds into the interpreter.
template <class Body>
PyObject* guarded_entry(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

}  // namespace tallyfold
