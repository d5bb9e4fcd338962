#pragma once
// Every boundary file includes NumPy's C interface through this header so that they share
// one API table; module.cpp alone imports it (TALLYFOLD_IMPORT_NUMPY).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL tallyfold_ARRAY_API
#ifndef TALLYFOLD_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
