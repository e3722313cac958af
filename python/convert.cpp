#include "convert.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace velk_py {

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

// Reads numpy's documented __array_interface__ of a C-contiguous uint8 array. Returns 1 when the bytes
// were copied, 0 when obj is no such array (nothing set), -1 with an exception set.
int read_uint8_array_interface(PyObject* obj, const char* arg, std::vector<uint8_t>* out) {
  if (!PyObject_HasAttrString(obj, "__array_interface__")) return 0;
  PyRef iface = PyRef::steal(PyObject_GetAttrString(obj, "__array_interface__"));
  if (!iface || !PyDict_Check(iface.get())) {
    PyErr_Clear();
    return 0;
  }
  PyObject* typestr = PyDict_GetItemString(iface.get(), "typestr");  // borrowed
  PyObject* data = PyDict_GetItemString(iface.get(), "data");
  PyObject* shape = PyDict_GetItemString(iface.get(), "shape");
  PyObject* strides = PyDict_GetItemString(iface.get(), "strides");
  if (typestr == nullptr || data == nullptr || shape == nullptr || !PyUnicode_Check(typestr) ||
      !PyTuple_Check(data) || PyTuple_Size(data) != 2 || !PyTuple_Check(shape) ||
      (strides != nullptr && strides != Py_None && !PyTuple_Check(strides))) {
    return 0;
  }
  Py_ssize_t len = 0;
  const char* ts = PyUnicode_AsUTF8AndSize(typestr, &len);
  if (ts == nullptr) {
    PyErr_Clear();
    return 0;
  }
  const std::string_view type(ts, static_cast<size_t>(len));
  if (type != "|u1" && type != "<u1" && type != ">u1") return 0;
  uint64_t count = 1;
  const Py_ssize_t dims = PyTuple_Size(shape);
  for (Py_ssize_t i = 0; i < dims; ++i) {
    const long long extent = PyLong_AsLongLong(PyTuple_GetItem(shape, i));
    if (extent < 0 || PyErr_Occurred()) {
      PyErr_Clear();
      return 0;
    }
    if (extent != 0 && count > std::numeric_limits<uint64_t>::max() / static_cast<uint64_t>(extent)) return 0;
    count *= static_cast<uint64_t>(extent);
  }
  const unsigned long long address = PyLong_AsUnsignedLongLong(PyTuple_GetItem(data, 0));
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return 0;
  }
  if (count > static_cast<uint64_t>(std::numeric_limits<Py_ssize_t>::max())) {
    PyErr_Format(PyExc_ValueError, "argument '%s': array too large", arg);
    return -1;
  }
  if (count > 0 && address == 0) return 0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(address));
  if (strides == nullptr || strides == Py_None) {  // C-contiguous
    out->assign(bytes, bytes + count);
    return 1;
  }
  // A strided view (a crop, a channel slice): gather element by element in C order.
  if (PyTuple_Size(strides) != dims || dims > 8) return 0;
  long long extent[8];
  long long stride[8];
  for (Py_ssize_t i = 0; i < dims; ++i) {
    extent[i] = PyLong_AsLongLong(PyTuple_GetItem(shape, i));
    stride[i] = PyLong_AsLongLong(PyTuple_GetItem(strides, i));
    if (PyErr_Occurred()) {
      PyErr_Clear();
      return 0;
    }
  }
  out->resize(count);
  long long index[8] = {0};
  for (uint64_t n = 0; n < count; ++n) {
    long long offset = 0;
    for (Py_ssize_t i = 0; i < dims; ++i) offset += index[i] * stride[i];
    (*out)[n] = bytes[offset];
    for (Py_ssize_t i = dims - 1; i >= 0; --i) {
      if (++index[i] < extent[i]) break;
      index[i] = 0;
    }
  }
  return 1;
}

}  // namespace

bool arg_float_list(PyObject* obj, const char* arg, std::vector<double>* out) {
  if (!check_sequence(obj, arg, "numbers")) return false;
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) return false;
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
    const int fast = read_uint8_array_interface(obj, arg, out);
    if (fast != 0) return fast > 0;
  }
  if (!check_sequence(obj, arg, "integers 0-255")) return false;
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) return false;
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

bool matrix_from_row_major(const std::vector<double>& values, velk_slam::Matrix6* out) {
  if (values.size() != 36) {
    PyErr_Format(PyExc_ValueError, "covariance needs 36 row-major values, got %zu", values.size());
    return false;
  }
  for (int r = 0; r < 6; ++r) {
    for (int c = 0; c < 6; ++c) (*out)(r, c) = values[static_cast<size_t>(6 * r + c)];
  }
  return true;
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

PyObject* counters_to_dict(std::initializer_list<std::pair<const char*, uint64_t>> counters) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [name, value] : counters) {
    PyRef number = PyRef::steal(PyLong_FromUnsignedLongLong(value));
    if (!number || PyDict_SetItemString(dict.get(), name, number.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* string_to_py(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

}  // namespace velk_py
