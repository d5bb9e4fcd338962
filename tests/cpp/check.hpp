#pragma once
// A minimal checking harness: each failed CHECK prints its location and makes main fail.
#include <cstdio>

inline int& check_failures() {
  static int failures = 0;
  return failures;
}

#define CHECK(cond)                                                          \
  do {                                                                       \
    if (!(cond)) {                                                           \
      std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
      ++check_failures();                                                    \
    }                                                                        \
  } while (0)

template <class Exception, class Fn>
bool throws(Fn&& fn) {
  try {
    fn();
  } catch (const Exception&) {
    return true;
  } catch (...) {
    return false;
  }
  return false;
}
