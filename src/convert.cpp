#include "convert.hpp"

#include "py_ref.hpp"

namespace tallyfold {

namespace {
void set_not_convertible(PyObject* obj) {
  PyRef qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)),
                                        "__qualname__"));
  if (!qualname) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyArray<T, D>'",
               qualname.get());
}
}  // namespace

bool convert_array(PyObject* obj, int typenum, int ndim, PyArrayObject** out) {
  if (PyArray_Check(obj)) {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) == ndim) {
      PyArray_Descr* wanted = PyArray_DescrFromType(typenum);
      const bool equivalent =
          PyArray_DESCR(array) == wanted || PyArray_EquivTypes(PyArray_DESCR(array), wanted);
      Py_DECREF(wanted);
      if (equivalent) {
        *out = array;
        return true;
      }
    }
  }
  set_not_convertible(obj);
  return false;
}

bool convert_u64(PyObject* obj, std::uint64_t* out) {
  PyRef index(PyNumber_Index(obj));
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

bool convert_u32(PyObject* obj, std::uint32_t* out) {
  PyRef index(PyNumber_Index(obj));
  if (!index) return false;
  const long value = PyLong_AsLong(index.get());
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || value > 4294967295L) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  *out = static_cast<std::uint32_t>(value);
  return true;
}

bool convert_f64(PyObject* obj, double* out) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

bool check_contiguous(PyArrayObject* array) {
  if (PyArray_IS_C_CONTIGUOUS(array) || PyArray_IS_F_CONTIGUOUS(array)) return true;
  PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
  return false;
}

}  // namespace tallyfold
