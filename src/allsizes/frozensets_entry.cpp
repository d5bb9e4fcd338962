// itemsets_to_frozensets: the decoder from id rows to frozensets of labels. It runs with the
// interpreter lock held throughout (it builds Python objects), one frozenset per row and no
// other allocation per row.
#include "engine_entry_points.hpp"
#include "errors.hpp"
#include "py_ref.hpp"
#include "row_arrays.hpp"

namespace tallyfold {

namespace {

Signature frozensets_signature{
    "itemsets_to_frozensets", {"items", "offsets", "labels"}, 3, {}, true};

PyObject* itemsets_to_frozensets(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded_entry([&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(frozensets_signature, args, nargs, kwnames, a)) return nullptr;
    if (!check_all_contiguous({a[0].array, a[1].array})) return nullptr;
    const auto items = a.span<std::int32_t>(0);
    const auto offsets = a.span<std::int64_t>(1);
    if (!check_row_offsets(offsets, items.size())) return nullptr;
    PyObject* labels = a[2].object;  // a tuple: nothing can resize it while we read it
    const Py_ssize_t n_labels = PyTuple_GET_SIZE(labels);

    npy_intp n = static_cast<npy_intp>(offsets.size() - 1);
    // An object array starts out as NULL entries, which the array releases safely if a
    // later row fails.
    PyRef out(PyArray_SimpleNew(1, &n, NPY_OBJECT));
    if (!out) return nullptr;
    auto* slots =
        static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    for (npy_intp r = 0; r < n; ++r) {
      PyObject* set = PyFrozenSet_New(nullptr);
      if (set == nullptr) return nullptr;
      slots[r] = set;  // owned by the array from here on
      for (std::int64_t k = offsets[r]; k < offsets[r + 1]; ++k) {
        const std::int32_t id = items[static_cast<std::size_t>(k)];
        if (id < 0 || id >= n_labels) {
          PyErr_Format(PyExc_IndexError,
                       "items[%lld] = %d is not an index of labels (len(labels) = %zd)",
                       static_cast<long long>(k), static_cast<int>(id), n_labels);
          return nullptr;
        }
        // A new frozenset with a single reference may still be filled in place.
        if (PySet_Add(set, PyTuple_GET_ITEM(labels, id)) < 0) return nullptr;
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
