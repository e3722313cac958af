#include "convert.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace velk_py {

bool is_conversion_failure() {
  return PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
         PyErr_ExceptionMatches(PyExc_OverflowError);
}

std::string type_name(PyObject* obj) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return "object";
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (text == nullptr) {
    PyErr_Clear();
    return "object";
  }
  return std::string(text, static_cast<size_t>(size));
}

bool arg_int64(PyObject* obj, const char* arg, int64_t* out) {
  if (!PyLong_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected int, got %s", arg, type_name(obj).c_str());
    return false;
  }
  const long long value = PyLong_AsLongLong(obj);
  if (value == -1 && PyErr_Occurred()) {
    PyErr_Format(PyExc_OverflowError, "argument '%s': int out of the signed 64-bit range", arg);
    return false;
  }
  *out = static_cast<int64_t>(value);
  return true;
}

bool arg_int32(PyObject* obj, const char* arg, int32_t* out) {
  int64_t wide = 0;
  if (!arg_int64(obj, arg, &wide)) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Format(PyExc_OverflowError, "argument '%s': int out of the signed 32-bit range", arg);
    }
    return false;
  }
  if (wide < std::numeric_limits<int32_t>::min() || wide > std::numeric_limits<int32_t>::max()) {
    PyErr_Format(PyExc_OverflowError, "argument '%s': int out of the signed 32-bit range", arg);
    return false;
  }
  *out = static_cast<int32_t>(wide);
  return true;
}

bool arg_double(PyObject* obj, const char* arg, double* out) {
  if (PyFloat_Check(obj)) {
    *out = PyFloat_AsDouble(obj);
    return true;
  }
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    if (!is_conversion_failure()) {
      return false;  // KeyboardInterrupt, MemoryError, ... raised inside __float__ go on as they are
    }
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Format(PyExc_OverflowError, "argument '%s': int too large to convert to float", arg);
    } else {
      PyErr_Format(PyExc_TypeError, "argument '%s': expected a number, got %s", arg, type_name(obj).c_str());
    }
    return false;
  }
  *out = value;
  return true;
}

bool arg_string(PyObject* obj, const char* arg, std::string* out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str, got %s", arg, type_name(obj).c_str());
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) {
    // Lone surrogates have no UTF-8 form.
    PyErr_Format(PyExc_ValueError, "argument '%s': string is not valid UTF-8", arg);
    return false;
  }
  out->assign(text, static_cast<size_t>(size));
  return true;
}

bool arg_fixed_vector(PyObject* obj, const char* arg, size_t n, double* out) {
  if (!PyTuple_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a tuple of %zu numbers, got %s", arg, n,
                 type_name(obj).c_str());
    return false;
  }
  const Py_ssize_t size = PyTuple_Size(obj);
  if (size < 0) return false;
  if (static_cast<size_t>(size) != n) {
    PyErr_Format(PyExc_ValueError, "argument '%s': expected a tuple of %zu numbers, got %zd", arg, n, size);
    return false;
  }
  for (size_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GetItem(obj, static_cast<Py_ssize_t>(i));  // borrowed
    if (item == nullptr || !arg_double(item, arg, &out[i])) return false;
  }
  return true;
}

bool arg_vector3(PyObject* obj, const char* arg, Eigen::Vector3d* out) {
  double v[3];
  if (!arg_fixed_vector(obj, arg, 3, v)) return false;
  *out = Eigen::Vector3d(v[0], v[1], v[2]);
  return true;
}

namespace {

bool is_text(PyObject* obj) { return PyUnicode_Check(obj); }

// A sequence other than str, or TypeError.
bool check_sequence(PyObject* obj, const char* arg, const char* what) {
  if (is_text(obj) || !PySequence_Check(obj) || PyDict_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of %s, got %s", arg, what,
                 type_name(obj).c_str());
    return false;
  }
  return true;
}

// numpy.ndarray when numpy has been imported (an object cannot be an array otherwise), else null. Borrowed
// from numpy's module, which stays loaded once imported.
PyObject* numpy_array_type() {
  PyObject* modules = PySys_GetObject("modules");  // borrowed
  PyObject* numpy = modules != nullptr && PyDict_Check(modules) ? PyDict_GetItemString(modules, "numpy") : nullptr;
  if (numpy == nullptr) return nullptr;
  PyRef type = PyRef::steal(PyObject_GetAttrString(numpy, "ndarray"));
  if (!type || !PyType_Check(type.get())) {
    PyErr_Clear();
    return nullptr;
  }
  return type.get();  // the module keeps its own reference
}

// Element `i` of a tuple as a signed 64-bit integer; false (nothing set) when it is no such int.
bool tuple_int(PyObject* tuple, Py_ssize_t i, long long* out) {
  PyObject* item = PyTuple_GetItem(tuple, i);  // borrowed
  if (item == nullptr || !PyLong_Check(item)) {
    PyErr_Clear();
    return false;
  }
  *out = PyLong_AsLongLong(item);
  if (*out == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return true;
}

// TypeError naming arg's array interface as unreadable; false.
bool unreadable_interface(const char* arg) {
  PyErr_Format(PyExc_TypeError, "argument '%s': unreadable numpy array interface", arg);
  return false;
}

// obj's __array_interface__ read through numpy's own descriptor; null with TypeError set when obj is not
// really a numpy array.
PyRef numpy_interface(PyObject* obj, const char* arg) {
  PyObject* ndarray = numpy_array_type();
  // The real type, not isinstance(), which an object can satisfy through a `__class__` property.
  if (ndarray == nullptr || !PyType_IsSubtype(Py_TYPE(obj), reinterpret_cast<PyTypeObject*>(ndarray))) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': %s has an __array_interface__ but is not a numpy array; pass bytes, a bytearray "
                 "or a numpy array",
                 arg, type_name(obj).c_str());
    return PyRef();
  }
  PyRef descriptor = PyRef::steal(PyObject_GetAttrString(ndarray, "__array_interface__"));
  return descriptor ? PyRef::steal(PyObject_CallMethod(descriptor.get(), "__get__", "OO", obj, ndarray)) : PyRef();
}

// The fields of an __array_interface__ dict, borrowed from it.
struct ArrayInterface {
  std::string_view type;  // typestr
  PyObject* data = nullptr;
  PyObject* shape = nullptr;
  PyObject* strides = nullptr;  // null or None: C-contiguous

  bool contiguous() const { return strides == nullptr || strides == Py_None; }
};

// The fields of `iface`; false with TypeError set when one is missing or of the wrong type.
bool interface_fields(PyObject* iface, const char* arg, ArrayInterface* out) {
  PyObject* typestr = PyDict_Check(iface) ? PyDict_GetItemString(iface, "typestr") : nullptr;
  PyObject* data = PyDict_Check(iface) ? PyDict_GetItemString(iface, "data") : nullptr;
  PyObject* shape = PyDict_Check(iface) ? PyDict_GetItemString(iface, "shape") : nullptr;
  PyObject* strides = PyDict_Check(iface) ? PyDict_GetItemString(iface, "strides") : nullptr;
  Py_ssize_t len = 0;
  const char* ts = typestr != nullptr && PyUnicode_Check(typestr) ? PyUnicode_AsUTF8AndSize(typestr, &len) : nullptr;
  if (ts == nullptr || data == nullptr || !PyTuple_Check(data) || PyTuple_Size(data) != 2 || shape == nullptr ||
      !PyTuple_Check(shape) || (strides != nullptr && strides != Py_None && !PyTuple_Check(strides))) {
    PyErr_Clear();
    return unreadable_interface(arg);
  }
  out->type = std::string_view(ts, static_cast<size_t>(len));
  out->data = data;
  out->shape = shape;
  out->strides = strides;
  return true;
}

// The item size of typestr `type` (byte order, kind and item size: "|u1", "<u2", "<f4", ...); 0 with
// TypeError set, naming obj's dtype, unless it is an integer or float type in native byte order.
int number_item_size(PyObject* obj, const char* arg, std::string_view type) {
  const char order = type.size() >= 3 ? type[0] : '?';
  const char kind = type.size() >= 3 ? type[1] : '?';
  int item_size = 0;
  for (size_t i = 2; i < type.size() && i < 5; ++i) {
    item_size = type[i] >= '0' && type[i] <= '9' ? item_size * 10 + (type[i] - '0') : -1;
  }
  const bool number = kind == 'u' || kind == 'i' || kind == 'f';
  const bool native_order = order == '|' || (order == '<') == (std::endian::native == std::endian::little) ||
                            item_size == 1;
  if (!number || item_size < 1 || item_size > 16 || type.size() > 5 || !native_order) {
    PyRef dtype = PyRef::steal(PyObject_GetAttrString(obj, "dtype"));
    PyRef dtype_text = dtype ? PyRef::steal(PyObject_Str(dtype.get())) : PyRef();
    const char* name = dtype_text ? PyUnicode_AsUTF8AndSize(dtype_text.get(), nullptr) : nullptr;
    if (name == nullptr) PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': numpy array of dtype %s (%s) is not image data; pass a C-contiguous array of an "
                 "integer or float dtype in native byte order (uint8, uint16, float32, ...)",
                 arg, name != nullptr ? name : "?", std::string(type).c_str());
    return 0;
  }
  return item_size;
}

// The `dims` extents of `shape` into extent[] and their product into *count; false with an exception set
// when one is unreadable or the array's count items of `item` bytes would not fit in a Py_ssize_t.
bool read_extents(PyObject* shape, Py_ssize_t dims, uint64_t item, const char* arg, long long* extent,
                  uint64_t* count) {
  *count = 1;
  for (Py_ssize_t i = 0; i < dims; ++i) {
    if (!tuple_int(shape, i, &extent[i]) || extent[i] < 0) return unreadable_interface(arg);
    if (extent[i] != 0 && *count > std::numeric_limits<uint64_t>::max() / static_cast<uint64_t>(extent[i])) {
      PyErr_Format(PyExc_ValueError, "argument '%s': array too large", arg);
      return false;
    }
    *count *= static_cast<uint64_t>(extent[i]);
  }
  if (*count > static_cast<uint64_t>(std::numeric_limits<Py_ssize_t>::max()) / item) {
    PyErr_Format(PyExc_ValueError, "argument '%s': array too large", arg);
    return false;
  }
  return true;
}

// The `count` items of `item` bytes of a strided view (a crop, a channel slice) at `bytes`, gathered item
// by item in C order into out.
void gather_strided(const uint8_t* bytes, Py_ssize_t dims, const long long* extent, const long long* stride,
                    uint64_t count, uint64_t item, std::vector<uint8_t>* out) {
  out->resize(count * item);
  long long index[32] = {0};
  for (uint64_t n = 0; n < count; ++n) {
    long long offset = 0;
    for (Py_ssize_t i = 0; i < dims; ++i) offset += index[i] * stride[i];
    std::memcpy(out->data() + n * item, bytes + offset, static_cast<size_t>(item));
    for (Py_ssize_t i = dims - 1; i >= 0; --i) {
      if (++index[i] < extent[i]) break;
      index[i] = 0;
    }
  }
}

// The bytes of a numpy array of an integer or float dtype in C order, read through the array's own
// __array_interface__ (numpy's descriptor, not whatever a subclass or a look-alike claims, so the address
// and strides are numpy's). Any other object with an __array_interface__ is refused: its address could be
// anything. Returns 1 when the bytes were copied, 0 when obj has no __array_interface__ (nothing set), -1
// with an exception set.
int read_array_interface(PyObject* obj, const char* arg, std::vector<uint8_t>* out) {
  PyRef claimed = PyRef::steal(PyObject_GetAttrString(obj, "__array_interface__"));
  if (!claimed) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  PyRef iface = numpy_interface(obj, arg);
  if (!iface) return -1;
  ArrayInterface array;
  if (!interface_fields(iface.get(), arg, &array)) return -1;
  const int item_size = number_item_size(obj, arg, array.type);
  if (item_size == 0) return -1;
  const Py_ssize_t dims = PyTuple_Size(array.shape);
  if (dims > 32 || (!array.contiguous() && PyTuple_Size(array.strides) != dims)) {
    unreadable_interface(arg);
    return -1;
  }
  long long extent[32];
  uint64_t count = 1;
  const auto item = static_cast<uint64_t>(item_size);
  if (!read_extents(array.shape, dims, item, arg, extent, &count)) return -1;
  const unsigned long long address = PyLong_AsUnsignedLongLong(PyTuple_GetItem(array.data, 0));
  if (PyErr_Occurred()) {
    PyErr_Clear();
    unreadable_interface(arg);
    return -1;
  }
  out->clear();
  if (count == 0) return 1;
  const auto* bytes = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(address));
  if (array.contiguous()) {
    out->assign(bytes, bytes + count * item);
    return 1;
  }
  long long stride[32];
  for (Py_ssize_t i = 0; i < dims; ++i) {
    if (!tuple_int(array.strides, i, &stride[i])) {
      unreadable_interface(arg);
      return -1;
    }
  }
  gather_strided(bytes, dims, extent, stride, count, item, out);
  return 1;
}

}  // namespace

bool arg_float_list(PyObject* obj, const char* arg, std::vector<double>* out, size_t max_count,
                    const char* too_long_format) {
  if (!check_sequence(obj, arg, "numbers")) return false;
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) return false;
  if (static_cast<size_t>(size) > max_count) {
    if (too_long_format != nullptr) {
      PyErr_Format(PyExc_ValueError, too_long_format, size);
    } else {
      PyErr_Format(PyExc_ValueError, "argument '%s': expected at most %zu numbers, got %zd", arg, max_count, size);
    }
    return false;
  }
  out->clear();
  out->reserve(static_cast<size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(obj, i));
    if (!item) return false;
    double value = 0.0;
    if (!arg_double(item.get(), arg, &value)) return false;
    out->push_back(value);
  }
  return true;
}

bool arg_byte_buffer(PyObject* obj, const char* arg, std::vector<uint8_t>* out) {
  if (PyBytes_Check(obj)) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return false;
    out->assign(reinterpret_cast<const uint8_t*>(data), reinterpret_cast<const uint8_t*>(data) + size);
    return true;
  }
  if (PyByteArray_Check(obj)) {
    const Py_ssize_t size = PyByteArray_Size(obj);
    const char* data = PyByteArray_AsString(obj);
    if (size < 0 || (size > 0 && data == nullptr)) return false;
    out->assign(reinterpret_cast<const uint8_t*>(data), reinterpret_cast<const uint8_t*>(data) + size);
    return true;
  }
  if (!is_text(obj)) {
    const int fast = read_array_interface(obj, arg, out);
    if (fast != 0) return fast > 0;
  }
  if (!check_sequence(obj, arg, "integers 0-255")) return false;
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) return false;
  if (static_cast<uint64_t>(size) > kMaxImageBytes) {
    PyErr_Format(PyExc_ValueError, "argument '%s': %zd elements, more than the %llu bytes an image may hold", arg,
                 size, static_cast<unsigned long long>(kMaxImageBytes));
    return false;
  }
  out->clear();
  out->reserve(static_cast<size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(obj, i));
    if (!item) return false;
    if (!PyIndex_Check(item.get()) || PyFloat_Check(item.get())) {
      PyErr_Format(PyExc_TypeError, "argument '%s': element %zd is %s, expected an int 0-255", arg, i,
                   type_name(item.get()).c_str());
      return false;
    }
    PyRef index = PyRef::steal(PyNumber_Index(item.get()));
    if (!index) return false;
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < 0 || value > 255) {
      PyErr_Format(PyExc_OverflowError, "argument '%s': element %zd is outside 0-255", arg, i);
      return false;
    }
    out->push_back(static_cast<uint8_t>(value));
  }
  return true;
}

bool arg_transform_pair(PyObject* obj, const char* arg, velk_slam::Isometry* out) {
  if (!PyTuple_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a tuple ((x, y, z), (x, y, z, w)), got %s", arg,
                 type_name(obj).c_str());
    return false;
  }
  const Py_ssize_t size = PyTuple_Size(obj);
  if (size != 2) {
    PyErr_Format(PyExc_ValueError, "argument '%s': expected a tuple of 2 elements (translation, rotation), got %zd",
                 arg, size);
    return false;
  }
  double t[3];
  double q[4];
  if (!arg_fixed_vector(PyTuple_GetItem(obj, 0), arg, 3, t) || !arg_fixed_vector(PyTuple_GetItem(obj, 1), arg, 4, q)) {
    return false;
  }
  *out = velk_slam::Isometry::from_parts(Eigen::Vector3d(t[0], t[1], t[2]), Eigen::Quaterniond(q[3], q[0], q[1], q[2]));
  return true;
}

PyObject* vector3_to_tuple(const Eigen::Vector3d& v) { return Py_BuildValue("(ddd)", v.x(), v.y(), v.z()); }

PyObject* transform_pair_to_py(const velk_slam::Isometry& iso) {
  const Eigen::Quaterniond& q = iso.rotation;
  return Py_BuildValue("((ddd)(dddd))", iso.translation.x(), iso.translation.y(), iso.translation.z(), q.x(), q.y(),
                       q.z(), q.w());
}

PyObject* matrix_to_row_major(const velk_slam::Matrix6& m) {
  PyRef list = PyRef::steal(PyList_New(36));
  if (!list) return nullptr;
  for (int r = 0; r < 6; ++r) {
    for (int c = 0; c < 6; ++c) {
      PyObject* value = PyFloat_FromDouble(m(r, c));
      if (value == nullptr) return nullptr;
      PyList_SetItem(list.get(), 6 * r + c, value);  // steals
    }
  }
  return list.release();
}

int set_class_attribute(PyTypeObject* type, const char* name, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  if (!owned) return -1;
  return PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), name, owned.get());
}

PyObject* string_to_py(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

}  // namespace velk_py
