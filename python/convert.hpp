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
// Any sequence of numbers except str: TypeError otherwise.
bool arg_float_list(PyObject* obj, const char* arg, std::vector<double>* out);
// Bytes of an image: bytes and bytearray are copied once; a contiguous numpy uint8 array is read through
// its __array_interface__ without an intermediate copy; any other sequence (not str) element by element,
// TypeError for a non-integer and OverflowError for an element outside 0-255.
bool arg_byte_buffer(PyObject* obj, const char* arg, std::vector<uint8_t>* out);

// Transform pair ((x, y, z), (x, y, z, w)): tuples only (TypeError), lengths 2, 3 and 4 (ValueError). The
// quaternion is normalised.
bool arg_transform_pair(PyObject* obj, const char* arg, velk_slam::Isometry* out);
// New transform pair of floats, translation first, quaternion (x, y, z, w) second.
PyObject* transform_pair_to_py(const velk_slam::Isometry& iso);

// 36 values give the matrix with element (r, c) = value 6r + c; any other count raises ValueError
// "covariance needs 36 row-major values, got {count}". (Type checks of the values come first, through
// arg_float_list, so that a constructor converts all its arguments in order before any length check.)
bool matrix_from_row_major(const std::vector<double>& values, velk_slam::Matrix6* out);
// New list of the 36 values row by row.
PyObject* matrix_to_row_major(const velk_slam::Matrix6& m);

PyObject* vector3_to_tuple(const Eigen::Vector3d& v);

// A new dict of an engine's counters, in the order given.
PyObject* counters_to_dict(std::initializer_list<std::pair<const char*, uint64_t>> counters);
PyObject* string_to_py(const std::string& s);

}  // namespace velk_py
