#include "result_dict.hpp"

namespace tallyfold {

PyObject* array_with_base(void* data, PyObject* capsule, int typenum, int ndim, npy_intp* dims) {
  PyObject* array = PyArray_SimpleNewFromData(ndim, dims, typenum, data);
  if (array == nullptr) {
    Py_DECREF(capsule);
    return nullptr;
  }
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), capsule) < 0) {
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

bool ResultDict::set(const char* key, PyObject* value) {
  PyRef owned(value);
  if (!owned || !dict_) return false;
  return PyDict_SetItemString(dict_.get(), key, owned.get()) == 0;
}

}  // namespace tallyfold
