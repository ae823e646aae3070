// rolling_median: the core's exact centred rolling median (package/median.hpp) for NumPy arrays.
#include <cstdint>
#include <iterator>
#include <vector>

#include "binding/convert.hpp"
#include "binding/cuts.hpp"
#include "binding/arrays.hpp"
#include "binding/handover.hpp"
#include "binding/numpy_api.hpp"
#include "package/median.hpp"
#include "tools/binding.hpp"

namespace morvane::tools {

namespace {

constexpr const char* kParams[] = {"values", "window", "stretches", "begin",
                                   "end",    "threads", "out"};
constexpr py::Signature kSignature{"rolling_median", kParams, 2, 2};

// The most threads a call starts; more would only queue on the cores.
constexpr std::uint64_t kMaxThreads = 256;

// Whether an array's bytes overlap [p, p + bytes) (compared as addresses: the two need not
// belong to one object).
bool overlaps(PyArrayObject* a, const void* p, std::size_t bytes) {
  const auto a0 = reinterpret_cast<std::uintptr_t>(PyArray_DATA(a));
  const std::size_t a_bytes = py::length_of(a) * static_cast<std::size_t>(PyArray_ITEMSIZE(a));
  const auto p0 = reinterpret_cast<std::uintptr_t>(p);
  return a_bytes > 0 && bytes > 0 && a0 < p0 + bytes && p0 < a0 + a_bytes;
}

// The arrays of `obj`: itself, or the items of a tuple or list. Borrowed.
std::vector<PyObject*> items_of(PyObject* obj, bool many) {
  if (!many) return {obj};
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(obj);
  PyObject** items = PySequence_Fast_ITEMS(obj);
  return std::vector<PyObject*>(items, items + count);
}

template <class T>
void compute(const std::vector<PyArrayObject*>& arrays, const std::vector<double*>& outs,
             const MedianRequest& request) {
  std::vector<MedianSignal<T>> signals;
  signals.reserve(arrays.size());
  for (std::size_t i = 0; i < arrays.size(); ++i) {
    const T* data = static_cast<const T*>(PyArray_DATA(arrays[i]));
    signals.push_back(MedianSignal<T>{std::span<const T>(data, py::length_of(arrays[i])), outs[i]});
  }
  WithoutGil unlocked;
  rolling_median(std::span<const MedianSignal<T>>(signals), request);
}

}  // namespace

// rolling_median(values, window, *, stretches=None, begin=0, end=None, threads=1, out=None)
//   -> float64 array, or a tuple of them when `values` is a tuple or list of arrays; `out` when
//   given (written in place, so that a caller going piece by piece reuses warm memory)
PyObject* rolling_median_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    PyObject* bound[std::size(kParams)];
    py::bind_arguments(kSignature, args, nargs, kwnames, bound);
    py::ensure_numpy();

    // values: one array, or a tuple or list of arrays of one type and length
    const bool many = PyTuple_Check(bound[0]) || PyList_Check(bound[0]);
    std::vector<PyArrayObject*> arrays;
    for (PyObject* item : items_of(bound[0], many)) {
      const std::string what = many ? "values[" + std::to_string(arrays.size()) + "]" : "values";
      arrays.push_back(py::checked_array(item, what, -1));
    }
    const std::size_t length = arrays.empty() ? 0 : py::length_of(arrays[0]);
    const int type = arrays.empty() ? NPY_DOUBLE : PyArray_TYPE(arrays[0]);
    for (PyArrayObject* a : arrays) {
      if (PyArray_TYPE(a) != type) py::raise(PyExc_TypeError, "values must share one dtype");
      if (py::length_of(a) != length) py::raise(PyExc_ValueError, "values must share one length");
    }

    MedianRequest request;
    request.window = py::arg_u64(bound[1], "window");
    if (bound[2] && bound[2] != Py_None) {
      PyArrayObject* s = py::checked_array(bound[2], "stretches", NPY_INT64);
      request.stretches = std::span<const std::int64_t>(
          static_cast<const std::int64_t*>(PyArray_DATA(s)), py::length_of(s));
    }
    request.begin = bound[3] ? py::arg_u64(bound[3], "begin") : 0;
    request.end = bound[4] && bound[4] != Py_None ? py::arg_u64(bound[4], "end") : length;
    const std::uint64_t threads = bound[5] ? py::arg_u64(bound[5], "threads") : 1;
    if (threads == 0) py::raise(PyExc_ValueError, "threads must be at least 1");
    request.threads = static_cast<unsigned>(threads < kMaxThreads ? threads : kMaxThreads);
    py::as_value_error([&] { check_median_request(request, length); });

    const std::size_t count = request.end - request.begin;

    // out: arrays given to be written (of the shape of values), or new ones
    PyObject* given = bound[6] && bound[6] != Py_None ? bound[6] : nullptr;
    std::vector<PyObject*> out_objects;
    std::vector<Column<double>> fresh;
    std::vector<double*> outs;
    if (given) {
      if (many != (PyTuple_Check(given) || PyList_Check(given))) {
        py::raise(PyExc_TypeError, "out must be an array when values is, else a tuple or list");
      }
      out_objects = items_of(given, many);
      if (out_objects.size() != arrays.size()) {
        py::raise(PyExc_ValueError, "out must hold one array per signal");
      }
      for (std::size_t i = 0; i < out_objects.size(); ++i) {
        const std::string what = many ? "out[" + std::to_string(i) + "]" : "out";
        PyArrayObject* o = py::checked_array(out_objects[i], what, NPY_DOUBLE);
        if (!PyArray_ISWRITEABLE(o)) py::raise(PyExc_ValueError, what + " must be writeable");
        if (py::length_of(o) != count) {
          py::raise(PyExc_ValueError, what + " must hold end - begin = " +
                                          std::to_string(count) + " values");
        }
        // the kernel reads every input while it writes, and threads write the outputs at once
        for (PyArrayObject* a : arrays) {
          if (overlaps(a, PyArray_DATA(o), count * sizeof(double))) {
            py::raise(PyExc_ValueError, what + " must not share memory with values");
          }
        }
        for (std::size_t j = 0; j < outs.size(); ++j) {
          if (overlaps(o, outs[j], count * sizeof(double))) {
            py::raise(PyExc_ValueError, "out must hold arrays that share no memory");
          }
        }
        outs.push_back(static_cast<double*>(PyArray_DATA(o)));
      }
    } else {
      fresh.resize(arrays.size());
      for (Column<double>& c : fresh) {
        c.reserve(count > 0 ? count : 1);  // a buffer even when empty: NumPy gets a real pointer
        outs.push_back(c.extend(count));
      }
    }
    if (type == NPY_FLOAT) {
      compute<float>(arrays, outs, request);
    } else {
      compute<double>(arrays, outs, request);
    }

    if (given) return Py_NewRef(given);
    if (!many) return py::vector_to_ndarray(std::move(fresh[0]), NPY_DOUBLE).release();
    OwnedRef result = py::check(PyTuple_New(static_cast<Py_ssize_t>(fresh.size())));
    for (std::size_t i = 0; i < fresh.size(); ++i) {
      OwnedRef a = py::vector_to_ndarray(std::move(fresh[i]), NPY_DOUBLE);
      PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), a.release());
    }
    return result.release();
  });
}

}  // namespace morvane::tools
