// Argument conversions at the Python boundary. Each returns false with a Python exception set whose
// message names the argument; on true the output is written. Lengths and sizes are read as 64-bit values
// before anything is copied.
#pragma once

#include "py_ref.hpp"

#include "types.hpp"

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <string>
#include <vector>

namespace velk_py {

// Longest float list a value class accepts where the record allows any length (distortion), and the
// most bytes an image given element by element may declare: a longer declared length is refused before
// anything is reserved.
inline constexpr size_t kMaxFloatList = size_t{1} << 16;
inline constexpr uint64_t kMaxImageBytes = (uint64_t{1} << 31) - 1;

// True when the pending Python exception is a conversion failure (TypeError, ValueError, OverflowError),
// which a converter may replace by its own message naming the argument; anything else (KeyboardInterrupt
// raised inside __float__, MemoryError, ...) is passed on unchanged.
bool is_conversion_failure();

// The Python type name of obj, for messages ("float", "list", ...).
std::string type_name(PyObject* obj);

// int in the signed 64-bit range: TypeError for non-integers, OverflowError out of range.
bool arg_int64(PyObject* obj, const char* arg, int64_t* out);
// int in the signed 32-bit range: TypeError, OverflowError.
bool arg_int32(PyObject* obj, const char* arg, int32_t* out);
// float, int or anything with a float conversion: TypeError otherwise.
bool arg_double(PyObject* obj, const char* arg, double* out);
// str, kept as UTF-8: TypeError otherwise.
bool arg_string(PyObject* obj, const char* arg, std::string* out);
// A tuple of exactly n numbers (lists refused): TypeError for a non-tuple or a non-number, ValueError for a
// wrong length.
bool arg_fixed_vector(PyObject* obj, const char* arg, size_t n, double* out);
bool arg_vector3(PyObject* obj, const char* arg, Eigen::Vector3d* out);
// Any sequence of numbers except str: TypeError otherwise. A declared length above max_count raises
// ValueError before any element is read: too_long_format (a printf format taking the length as %zd) when
// given, else a message naming the argument and the limit.
bool arg_float_list(PyObject* obj, const char* arg, std::vector<double>* out, size_t max_count = kMaxFloatList,
                    const char* too_long_format = nullptr);
// Bytes of an image: bytes and bytearray are copied once; a numpy array of an integer or float dtype in
// native byte order is copied as its raw bytes in C order (uint16 or float32 depth as they are), through
// numpy's own __array_interface__; other dtypes and objects that only claim an __array_interface__ raise
// TypeError. Any other sequence (not str) is read element by element, ValueError when it declares more
// than kMaxImageBytes elements, TypeError for a non-integer, OverflowError for an element outside 0-255.
bool arg_byte_buffer(PyObject* obj, const char* arg, std::vector<uint8_t>* out);

// Transform pair ((x, y, z), (x, y, z, w)): tuples only (TypeError), lengths 2, 3 and 4 (ValueError). The
// quaternion is normalised.
bool arg_transform_pair(PyObject* obj, const char* arg, velk_slam::Isometry* out);
// New transform pair of floats, translation first, quaternion (x, y, z, w) second.
PyObject* transform_pair_to_py(const velk_slam::Isometry& iso);

// New list of the 36 values row by row.
PyObject* matrix_to_row_major(const velk_slam::Matrix6& m);

PyObject* vector3_to_tuple(const Eigen::Vector3d& v);

// A new dict of an engine's counters, named and ordered by their for_each(f(name, value)).
template <typename Counters>
PyObject* counters_to_dict(const Counters& counters) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  bool ok = true;
  counters.for_each([&](const char* name, uint64_t value) {
    if (!ok) return;
    PyRef number = PyRef::steal(PyLong_FromUnsignedLongLong(value));
    ok = number && PyDict_SetItemString(dict.get(), name, number.get()) == 0;
  });
  return ok ? dict.release() : nullptr;
}

// A new tuple of the counters' names in report order: the class attribute COUNTER_NAMES.
template <typename Counters>
PyObject* counter_names_to_tuple() {
  PyRef names = PyRef::steal(PyList_New(0));
  if (!names) return nullptr;
  bool ok = true;
  Counters{}.for_each([&](const char* name, uint64_t) {
    if (!ok) return;
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    ok = text && PyList_Append(names.get(), text.get()) == 0;
  });
  return ok ? PyList_AsTuple(names.get()) : nullptr;
}

// Sets the class attribute `name` of `type` to `value` (a new reference, taken over; null fails with
// its exception already set). Returns 0, or -1 with an exception set.
int set_class_attribute(PyTypeObject* type, const char* name, PyObject* value);
PyObject* string_to_py(const std::string& s);

}  // namespace velk_py
