// The zero-copy hand-over of native column buffers to NumPy and pandas, shared by both modules.
#define MORVANE_NUMPY_DEFINE_TABLE
#include "binding/numpy_api.hpp"

#include "binding/handover.hpp"

#include "binding/arrays.hpp"
#include "packet/timing.hpp"

namespace morvane::py {

namespace {

// Owns one column buffer behind a NumPy array: the array's base object, freed with the array.
struct SliceContainer {
  PyObject_HEAD
  void* data;
  std::size_t length;
  std::size_t capacity;
  std::size_t element_size;
};

void slice_container_dealloc(PyObject* self) {
  auto* c = reinterpret_cast<SliceContainer*>(self);
  free_released(c->data, c->element_size, c->capacity);
  c->data = nullptr;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot kSliceContainerSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owner of one native column buffer behind a NumPy array.")},
    {0, nullptr},
};

PyType_Spec kSliceContainerSpec = {
    "morvane.PySliceContainer", sizeof(SliceContainer), 0, Py_TPFLAGS_DEFAULT,
    kSliceContainerSlots,
};

PyTypeObject* g_slice_container_type = nullptr;  // created once per process

void load_numpy_table() {
  OwnedRef numpy = check(PyImport_ImportModule("numpy"));
  OwnedRef version = check(PyObject_GetAttrString(numpy.get(), "__version__"));
  const char* text = PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
  if (!text) throw PythonError{};
  const long major = std::strtol(text, nullptr, 10);
  OwnedRef multiarray = check(
      PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
  OwnedRef capsule = check(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  if (!PyCapsule_CheckExact(capsule.get())) raise_internal("Failed to access NumPy array API capsule");
  void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (!table) throw PythonError{};
  PyArray_API = table;
  if (NPY_VERSION < PyArray_GetNDArrayCVersion()) {
    PyArray_API = nullptr;
    raise_internal("Failed to access NumPy array API capsule: incompatible NumPy ABI");
  }
  PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
  if (NPY_FEATURE_VERSION > PyArray_RUNTIME_VERSION) {
    PyArray_API = nullptr;
    raise_internal("Failed to access NumPy array API capsule: NumPy is too old");
  }
}

PyTypeObject* slice_container_type() {
  if (!g_slice_container_type) {
    PyObject* type = PyType_FromSpec(&kSliceContainerSpec);
    if (!type) {
      PyErr_Clear();
      raise_internal("Failed to create slice container type");
    }
    g_slice_container_type = reinterpret_cast<PyTypeObject*>(type);
  }
  return g_slice_container_type;
}

}  // namespace

template <class T>
OwnedRef vector_to_ndarray(Column<T>&& column, int type_number) {
  ensure_numpy();
  PyTypeObject* type = slice_container_type();
  auto released = column.release();
  auto* container = PyObject_New(SliceContainer, type);
  if (!container) {
    free_released(released.data, sizeof(T), released.capacity);
    PyErr_Clear();
    raise_internal("Failed to create slice container");
  }
  container->data = released.data;
  container->length = released.size;
  container->capacity = released.capacity;
  container->element_size = sizeof(T);
  OwnedRef owner(reinterpret_cast<PyObject*>(container));

  PyArray_Descr* descr = PyArray_DescrFromType(type_number);
  if (!descr) throw PythonError{};
  npy_intp dims[1] = {static_cast<npy_intp>(released.size)};
  npy_intp strides[1] = {static_cast<npy_intp>(sizeof(T))};
  OwnedRef array = check(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, strides,
                                              released.data, NPY_ARRAY_WRITEABLE, nullptr));
  check_status(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()));
  return array;
}

template OwnedRef vector_to_ndarray(Column<float>&&, int);
template OwnedRef vector_to_ndarray(Column<double>&&, int);
template OwnedRef vector_to_ndarray(Column<std::int64_t>&&, int);
template OwnedRef vector_to_ndarray(Column<std::uint8_t>&&, int);
template OwnedRef vector_to_ndarray(Column<std::uint32_t>&&, int);

namespace {

void put(PyObject* dict, const char* key, PyObject* value) {
  OwnedRef name = check(PyUnicode_FromString(key));
  check_status(PyDict_SetItem(dict, name.get(), value));
}

}  // namespace

void ensure_numpy() {
  if (PyArray_API) return;
  try {
    load_numpy_table();
  } catch (const PythonError&) {
    // Keep the cause visible in the text: a missing or broken NumPy.
    std::string detail;
    if (PyErr_Occurred()) {
#if PY_VERSION_HEX >= 0x030C0000
      OwnedRef exc(PyErr_GetRaisedException());
#else
      PyObject *t, *v, *tb;
      PyErr_Fetch(&t, &v, &tb);
      PyErr_NormalizeException(&t, &v, &tb);
      Py_XDECREF(t);
      Py_XDECREF(tb);
      OwnedRef exc(v);
#endif
      OwnedRef text(exc ? PyObject_Str(exc.get()) : nullptr);
      const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
      if (utf8) detail = std::string(": ") + utf8;
      PyErr_Clear();
      raise_internal("Failed to access NumPy array API capsule" + detail);
    }
    throw;
  }
}

PyObject* dataframe_from_columns(SampleColumns&& columns, std::optional<std::int64_t> offset_us) {
  if (offset_us) {
    std::int64_t* t = columns.time.data();
    for (std::size_t i = 0; i < columns.time.size(); ++i) t[i] = shift_time(t[i], *offset_us);
  }
  OwnedRef data = check(PyDict_New());
  auto add = [&](const char* name, FloatColumn& column) {
    OwnedRef array = vector_to_ndarray(std::move(column), NPY_FLOAT);
    put(data.get(), name, array.get());
  };
  static constexpr const char* kAcc[] = {"acc_x", "acc_y", "acc_z"};
  static constexpr const char* kGyro[] = {"gyro_x", "gyro_y", "gyro_z"};
  static constexpr const char* kMag[] = {"mag_x", "mag_y", "mag_z"};
  for (int a = 0; a < 3; ++a) add(kAcc[a], columns.acc[a]);
  for (int a = 0; a < 3; ++a) {
    if (columns.gyro[a]) add(kGyro[a], *columns.gyro[a]);
  }
  for (int a = 0; a < 3; ++a) {
    if (columns.mag[a]) add(kMag[a], *columns.mag[a]);
  }
  if (columns.temperature) add("temperature", *columns.temperature);
  if (columns.light) add("light", *columns.light);
  if (columns.battery) add("battery", *columns.battery);

  OwnedRef pandas_name = check(PyUnicode_FromString("pandas"));
  OwnedRef pandas = check(PyImport_Import(pandas_name.get()));
  OwnedRef index_kwargs = check(PyDict_New());
  OwnedRef index_name = check(PyUnicode_FromString("timestamp"));
  OwnedRef dtype = check(PyUnicode_FromString(offset_us ? "datetime64[us, UTC]" : "datetime64[us]"));
  put(index_kwargs.get(), "name", index_name.get());
  put(index_kwargs.get(), "copy", Py_False);
  put(index_kwargs.get(), "dtype", dtype.get());
  OwnedRef index;
  {
    OwnedRef time = vector_to_ndarray(std::move(columns.time), NPY_LONGLONG);
    OwnedRef cls = check(PyObject_GetAttrString(pandas.get(), "DatetimeIndex"));
    PyObject* args[1] = {time.get()};
    index = check(PyObject_VectorcallDict(cls.get(), args, 1, index_kwargs.get()));
  }
  OwnedRef frame_kwargs = check(PyDict_New());
  put(frame_kwargs.get(), "index", index.get());
  put(frame_kwargs.get(), "copy", Py_False);
  OwnedRef cls = check(PyObject_GetAttrString(pandas.get(), "DataFrame"));
  PyObject* args[1] = {data.get()};
  return check(PyObject_VectorcallDict(cls.get(), args, 1, frame_kwargs.get())).release();
}

PyArrayObject* checked_array(PyObject* obj, const std::string& what, int type) {
  ensure_numpy();
  if (!PyArray_Check(obj)) {
    raise(PyExc_TypeError, what + " must be a NumPy array, not " + type_name(obj));
  }
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(a) != 1) raise(PyExc_ValueError, what + " must be one-dimensional");
  const int t = PyArray_TYPE(a);
  const bool type_ok = type < 0 ? (t == NPY_FLOAT || t == NPY_DOUBLE) : t == type;
  if (!type_ok || !PyArray_ISNOTSWAPPED(a)) {
    const char* want = type < 0 ? "float32 or float64" : type == NPY_INT64 ? "int64" : "float64";
    raise(PyExc_TypeError, what + " must hold " + want + " values in native byte order");
  }
  if (!PyArray_IS_C_CONTIGUOUS(a) || !PyArray_ISALIGNED(a)) {
    raise(PyExc_ValueError, what + " must be an aligned C-contiguous array "
                                       "(numpy.ascontiguousarray makes one)");
  }
  return a;
}

std::size_t length_of(PyArrayObject* a) { return static_cast<std::size_t>(PyArray_DIM(a, 0)); }

}  // namespace morvane::py
