// itemsets_to_frozensets: the decoder from id rows to frozensets of labels. It runs with the
// interpreter lock held throughout (it builds Python objects), one frozenset per row and no
// other allocation per row.
#include <algorithm>
#include <vector>

#include "engine_entry_points.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "py_ref.hpp"
#include "row_arrays.hpp"

namespace tallyfold {

namespace {

// True when no label can refer to another object: such frozensets can never be part of a
// reference cycle, so the cyclic collector need not track them (as the interpreter itself
// stops tracking tuples of such objects). Left tracked, hundreds of thousands of them are
// walked again by every later full collection of the caller's process.
bool labels_are_atomic(PyObject* labels, Py_ssize_t n_labels) {
  for (Py_ssize_t i = 0; i < n_labels; ++i) {
    PyObject* label = PyTuple_GET_ITEM(labels, i);
    if (!(PyUnicode_CheckExact(label) || PyLong_CheckExact(label) || PyFloat_CheckExact(label) ||
          PyBytes_CheckExact(label) || PyBool_Check(label) || PyComplex_CheckExact(label) ||
          label == Py_None))
      return false;
  }
  return true;
}

Signature frozensets_signature{
    "itemsets_to_frozensets", {"items", "offsets", "labels"}, 3, {}, true};

PyObject* itemsets_to_frozensets(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded_entry([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(frozensets_signature, args, nargs, kwnames, a)) return nullptr;
    if (!check_all_contiguous({a[0].array, a[1].array})) return nullptr;
    const std::vector<std::int32_t> items = a.copy<std::int32_t>(0);
    const std::vector<std::int64_t> offsets = a.copy<std::int64_t>(1);
    if (!check_row_offsets(offsets, items.size())) return nullptr;
    PyObject* labels = a[2].object;  // a tuple: nothing can resize it while we read it
    const Py_ssize_t n_labels = PyTuple_GET_SIZE(labels);
    const bool untrack = labels_are_atomic(labels, n_labels);

    npy_intp n = static_cast<npy_intp>(offsets.size() - 1);
    // An object array starts out as NULL entries, which the array releases safely if a
    // later row fails.
    PyRef out(PyArray_SimpleNew(1, &n, NPY_OBJECT));
    if (!out) return nullptr;
    auto* slots =
        static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    // Hundreds of thousands of new containers would start the cyclic collector over and over,
    // though none of them can be part of a cycle yet.
    const GcPaused paused;
    // path[d] is the last row of d + 1 items. In lexicographic order a row's prefix is the
    // last shorter row, so most rows copy their prefix's set, whose stored hashes make the
    // copy cheap, and add one label; other rows are built label by label.
    std::vector<npy_intp> path;
    auto bad_id = [&](std::int64_t k) {
      PyErr_Format(PyExc_IndexError,
                   "items[%lld] = %d is not an index of labels (len(labels) = %zd)",
                   static_cast<long long>(k), static_cast<int>(items[static_cast<std::size_t>(k)]),
                   n_labels);
      return nullptr;
    };
    for (npy_intp r = 0; r < n; ++r) {
      // The lock is held throughout, so Ctrl-C is looked for here: every 2^16 rows is a few
      // milliseconds apart.
      if ((r & 0xFFFF) == 0 && PyErr_CheckSignals() < 0) return nullptr;
      const std::int64_t begin = offsets[r], end = offsets[r + 1];
      const std::size_t length = static_cast<std::size_t>(end - begin);
      std::int64_t k = begin;
      PyObject* prefix_set = nullptr;
      if (length >= 2 && path.size() >= length - 1) {
        const npy_intp p = path[length - 2];
        if (offsets[p + 1] - offsets[p] == static_cast<std::int64_t>(length - 1) &&
            std::equal(items.begin() + begin, items.begin() + end - 1, items.begin() + offsets[p]))
          prefix_set = slots[p];
      }
      PyObject* set = PyFrozenSet_New(prefix_set);
      if (set == nullptr) return nullptr;
      slots[r] = set;  // owned by the array from here on
      if (prefix_set != nullptr) k = end - 1;
      for (; k < end; ++k) {
        const std::int32_t id = items[static_cast<std::size_t>(k)];
        if (id < 0 || id >= n_labels) return bad_id(k);
        // A new frozenset with a single reference may still be filled in place.
        if (PySet_Add(set, PyTuple_GET_ITEM(labels, id)) < 0) return nullptr;
      }
      if (untrack) PyObject_GC_UnTrack(set);
      if (length > 0) {
        if (path.size() < length) path.resize(length);
        path[length - 1] = r;
      }
    }
    return out.release();
  });
}

}  // namespace

const EntryPoint& itemsets_to_frozensets_entry() {
  static const EntryPoint entry{
      &frozensets_signature, itemsets_to_frozensets,
      "itemsets_to_frozensets(items, offsets, labels)\n--\n\n"
      "The frozenset of labels[i] for every id i of each row: row r is\n"
      "items[offsets[r]:offsets[r+1]] (items int32, offsets int64 with n + 1 non-decreasing\n"
      "entries within len(items), else ValueError). labels is a list or tuple indexed by id;\n"
      "an id outside it raises IndexError. Returns a 1-D object ndarray of n frozensets."};
  return entry;
}

}  // namespace tallyfold
