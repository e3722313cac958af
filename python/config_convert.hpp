// Table-driven conversion of a configuration dict into an engine's configuration record. Each record
// type lists its fields once, in a specialisation of ConfigFields:
//
//   template <> struct velk_py::ConfigFields<InitialStds> {
//     static const FieldList<InitialStds>& fields() {
//       static const FieldList<InitialStds> f{field("position", &InitialStds::position), ...};
//       return f;
//     }
//   };
//
// Rules: a key that is absent keeps the record's default, at every nesting level; keys that name no field
// are ignored; every key must be a str. Values: a float field takes float or int; an integer field an int
// in range; a string field a str; a bool field any value by its truth; std::optional takes None for
// absent; a std::vector any list or tuple (or other sequence except str/bytes), else a set or frozenset in
// iteration order; a std::array a sequence of exactly its length; an Isometry a transform pair of any
// sequences; a nested record a dict. The first value
// that does not convert stops the conversion with a reason naming the key path.
#pragma once

#include "convert.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace velk_py {

template <typename Record>
struct FieldSpec {
  const char* key;
  std::function<bool(PyObject* value, Record& record, const std::string& path, std::string* reason)> convert;
  PyObject* (*keys)();  // the field's entry in the exported key tree (see config_keys)
  std::function<PyObject*(const Record& record)> defaults;  // its entry in the defaults tree (see config_defaults)
};

template <typename Record>
using FieldList = std::vector<FieldSpec<Record>>;

// Specialised per configuration record with a static fields() returning its FieldList.
template <typename Record>
struct ConfigFields;

template <typename T>
concept ConfigRecord = requires { ConfigFields<T>::fields(); };

namespace config_detail {

// After a failed C-API call: true when the pending exception is a conversion failure, which is cleared
// so that the caller can give its own reason. Anything else (KeyboardInterrupt raised inside __bool__ or
// __iter__, MemoryError) stays set and the conversion stops with it.
inline bool clear_conversion_failure() {
  if (!is_conversion_failure()) return false;
  PyErr_Clear();
  return true;
}

inline bool fail(std::string* reason, const std::string& path, const std::string& what, PyObject* value) {
  *reason = "`" + path + "`: expected " + what + ", got " + type_name(value);
  return false;
}

template <typename T>
struct IsVector : std::false_type {};
template <typename T>
struct IsVector<std::vector<T>> : std::true_type {};
template <typename T>
struct IsArray : std::false_type {};
template <typename T, size_t N>
struct IsArray<std::array<T, N>> : std::true_type {};
template <typename T>
struct IsOptional : std::false_type {};
template <typename T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <typename T>
bool convert_value(PyObject* value, T& out, const std::string& path, std::string* reason);

template <ConfigRecord Record>
bool convert_record(PyObject* dict, Record& record, const std::string& path, std::string* reason) {
  if (!PyDict_Check(dict)) return fail(reason, path.empty() ? "config" : path, "a dict", dict);
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {  // borrowed references
    if (!PyUnicode_Check(key)) {
      *reason = "keys must be str, got " + type_name(key) + (path.empty() ? "" : " in `" + path + "`");
      return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) {
      PyErr_Clear();
      *reason = "a key is not valid UTF-8";
      return false;
    }
    const std::string_view name(text, static_cast<size_t>(size));
    for (const FieldSpec<Record>& field : ConfigFields<Record>::fields()) {
      if (name == field.key) {
        const std::string sub = path.empty() ? std::string(name) : path + "." + std::string(name);
        if (!field.convert(value, record, sub, reason)) return false;
        break;
      }
    }
  }
  return true;
}

// Elements of a list or tuple (or other sequence except str, bytes and dict), or of a set / frozenset.
template <typename T>
bool convert_sequence(PyObject* value, std::vector<T>& out, const std::string& path, std::string* reason) {
  const bool sequence = !PyUnicode_Check(value) && !PyBytes_Check(value) && !PyByteArray_Check(value) &&
                        !PyDict_Check(value) && PySequence_Check(value);
  const bool set = PyAnySet_Check(value);
  if (!sequence && !set) return fail(reason, path, "a list", value);
  PyRef iter = PyRef::steal(PyObject_GetIter(value));
  if (!iter) {
    if (!clear_conversion_failure()) return false;
    return fail(reason, path, "a list", value);
  }
  std::vector<T> items;
  for (size_t i = 0;; ++i) {
    PyRef item = PyRef::steal(PyIter_Next(iter.get()));
    if (!item) {
      if (PyErr_Occurred()) {
        if (clear_conversion_failure()) *reason = "`" + path + "`: iteration failed";
        return false;
      }
      break;
    }
    T element{};
    if (!convert_value(item.get(), element, path + "[" + std::to_string(i) + "]", reason)) return false;
    items.push_back(std::move(element));
  }
  out = std::move(items);
  return true;
}

// A bool field: any value, by its truth.
inline bool convert_bool(PyObject* value, bool& out, const std::string& path, std::string* reason) {
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) {
    if (clear_conversion_failure()) *reason = "`" + path + "`: has no truth value";
    return false;
  }
  out = truth != 0;
  return true;
}

// A float field: a float or an int that a double holds.
template <typename T>
bool convert_float(PyObject* value, T& out, const std::string& path, std::string* reason) {
  if (!PyFloat_Check(value) && !PyLong_Check(value)) return fail(reason, path, "a number", value);
  const double v = PyFloat_AsDouble(value);
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    *reason = "`" + path + "`: number too large for a float";
    return false;
  }
  out = static_cast<T>(v);
  return true;
}

// An integer field: an int within T's range.
template <typename T>
bool convert_int(PyObject* value, T& out, const std::string& path, std::string* reason) {
  if (!PyLong_Check(value)) return fail(reason, path, "an int", value);
  const long long v = PyLong_AsLongLong(value);
  if (v == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    *reason = "`" + path + "`: int out of range";
    return false;
  }
  if (static_cast<long double>(v) < static_cast<long double>(std::numeric_limits<T>::min()) ||
      static_cast<long double>(v) > static_cast<long double>(std::numeric_limits<T>::max())) {
    *reason = "`" + path + "`: int out of range";
    return false;
  }
  out = static_cast<T>(v);
  return true;
}

// A string field: a str with a UTF-8 form.
inline bool convert_string(PyObject* value, std::string& out, const std::string& path, std::string* reason) {
  if (!PyUnicode_Check(value)) return fail(reason, path, "a str", value);
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) {
    PyErr_Clear();
    *reason = "`" + path + "`: string is not valid UTF-8";
    return false;
  }
  out.assign(text, static_cast<size_t>(size));
  return true;
}

// An optional field: None for absent, else the value.
template <typename T>
bool convert_optional(PyObject* value, std::optional<T>& out, const std::string& path, std::string* reason) {
  if (value == Py_None) {
    out.reset();
    return true;
  }
  T inner{};
  if (!convert_value(value, inner, path, reason)) return false;
  out = std::move(inner);
  return true;
}

// A fixed-length field: a sequence (not a set) of exactly N values.
template <typename Element, size_t N>
bool convert_array(PyObject* value, std::array<Element, N>& out, const std::string& path, std::string* reason) {
  std::vector<Element> items;
  if (PyAnySet_Check(value)) return fail(reason, path, "a sequence of " + std::to_string(out.size()) + " values", value);
  const auto wrong_length = [&](size_t got) {
    *reason = "`" + path + "`: expected a sequence of length " + std::to_string(out.size()) + ", got length " +
              std::to_string(got);
    return false;
  };
  // The declared length first, so that range(30_000_000) is refused without building it.
  const Py_ssize_t declared = PySequence_Check(value) && !PyUnicode_Check(value) ? PySequence_Size(value) : -1;
  if (declared < 0 && PyErr_Occurred() && !clear_conversion_failure()) return false;
  if (declared >= 0 && static_cast<size_t>(declared) != out.size()) return wrong_length(static_cast<size_t>(declared));
  if (!convert_sequence(value, items, path, reason)) return false;
  if (items.size() != out.size()) return wrong_length(items.size());
  std::copy(items.begin(), items.end(), out.begin());
  return true;
}

// A transform pair: the translation (x, y, z) and the rotation (x, y, z, w), as any sequences, so that
// the lists of a YAML file convert too. The quaternion is normalised; a zero or non-finite one fails.
inline bool convert_isometry(PyObject* value, velk_slam::Isometry& out, const std::string& path, std::string* reason) {
  std::vector<std::vector<double>> parts;
  if (!convert_sequence(value, parts, path, reason)) return false;
  const auto finite = [](const std::vector<double>& v) {
    return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
  };
  if (parts.size() != 2 || parts[0].size() != 3 || parts[1].size() != 4 || !finite(parts[0]) || !finite(parts[1])) {
    *reason = "`" + path + "`: expected a transform pair ((x, y, z), (x, y, z, w)) of finite numbers";
    return false;
  }
  const Eigen::Quaterniond q(parts[1][3], parts[1][0], parts[1][1], parts[1][2]);
  if (!(q.norm() > 0.0)) {
    *reason = "`" + path + "`: the rotation quaternion is zero";
    return false;
  }
  out = velk_slam::Isometry::from_parts(Eigen::Vector3d(parts[0][0], parts[0][1], parts[0][2]), q);
  return true;
}

template <typename T>
bool convert_value(PyObject* value, T& out, const std::string& path, std::string* reason) {
  if constexpr (std::is_same_v<T, bool>) {
    return convert_bool(value, out, path, reason);
  } else if constexpr (std::is_floating_point_v<T>) {
    return convert_float(value, out, path, reason);
  } else if constexpr (std::is_integral_v<T>) {
    return convert_int(value, out, path, reason);
  } else if constexpr (std::is_same_v<T, std::string>) {
    return convert_string(value, out, path, reason);
  } else if constexpr (IsOptional<T>::value) {
    return convert_optional(value, out, path, reason);
  } else if constexpr (IsVector<T>::value) {
    return convert_sequence(value, out, path, reason);
  } else if constexpr (IsArray<T>::value) {
    return convert_array(value, out, path, reason);
  } else if constexpr (std::is_same_v<T, velk_slam::Isometry>) {
    return convert_isometry(value, out, path, reason);
  } else if constexpr (ConfigRecord<T>) {
    if (!PyDict_Check(value)) return fail(reason, path, "a dict", value);
    return convert_record(value, out, path, reason);
  } else {
    static_assert(sizeof(T) == 0, "no configuration conversion for this field type");
  }
}

template <ConfigRecord Record>
PyObject* record_keys();

// A field's entry in the key tree: a nested record's own keys, a list of records as a one-element list
// of their keys, None for every other value.
template <typename T>
PyObject* field_keys() {
  if constexpr (ConfigRecord<T>) {
    return record_keys<T>();
  } else if constexpr (IsOptional<T>::value) {
    return field_keys<typename T::value_type>();
  } else if constexpr (IsVector<T>::value) {
    if constexpr (ConfigRecord<typename T::value_type>) {
      PyRef element = PyRef::steal(record_keys<typename T::value_type>());
      PyRef list = PyRef::steal(element ? PyList_New(1) : nullptr);
      if (!list) return nullptr;
      PyList_SetItem(list.get(), 0, element.release());  // steals
      return list.release();
    }
  }
  Py_INCREF(Py_None);
  return Py_None;
}

template <ConfigRecord Record>
PyObject* record_keys() {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const FieldSpec<Record>& field : ConfigFields<Record>::fields()) {
    PyRef entry = PyRef::steal(field.keys());
    if (!entry || PyDict_SetItemString(dict.get(), field.key, entry.get()) < 0) return nullptr;
  }
  return dict.release();
}

// A field's entry in the defaults tree: its value in `value` (a record's defaults), with a nested record
// as the dict of its fields, a list of records as a one-element list of a default record's entries, a
// transform pair as ((x, y, z), (x, y, z, w)) and an absent optional as None.
template <typename T>
PyObject* default_value(const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    return PyBool_FromLong(value ? 1 : 0);
  } else if constexpr (std::is_floating_point_v<T>) {
    return PyFloat_FromDouble(static_cast<double>(value));
  } else if constexpr (std::is_integral_v<T>) {
    return PyLong_FromLongLong(static_cast<long long>(value));
  } else if constexpr (std::is_same_v<T, std::string>) {
    return string_to_py(value);
  } else if constexpr (IsOptional<T>::value) {
    if (!value) Py_RETURN_NONE;
    return default_value(*value);
  } else if constexpr (ConfigRecord<T>) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const FieldSpec<T>& field : ConfigFields<T>::fields()) {
      PyRef entry = PyRef::steal(field.defaults(value));
      if (!entry || PyDict_SetItemString(dict.get(), field.key, entry.get()) < 0) return nullptr;
    }
    return dict.release();
  } else if constexpr (IsVector<T>::value || IsArray<T>::value) {
    if constexpr (ConfigRecord<typename T::value_type>) {
      PyRef element = PyRef::steal(default_value(typename T::value_type{}));
      PyRef list = PyRef::steal(element ? PyList_New(1) : nullptr);
      if (!list) return nullptr;
      PyList_SetItem(list.get(), 0, element.release());  // steals
      return list.release();
    } else {
      PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(value.size())));
      if (!list) return nullptr;
      for (size_t i = 0; i < value.size(); ++i) {
        PyObject* item = default_value(value[i]);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
      }
      return list.release();
    }
  } else if constexpr (std::is_same_v<T, velk_slam::Isometry>) {
    return transform_pair_to_py(value);
  } else {
    static_assert(sizeof(T) == 0, "no default export for this field type");
  }
}

}  // namespace config_detail

// One entry of a FieldList: the dict key and the record member it fills.
template <typename Record, typename T>
FieldSpec<Record> field(const char* key, T Record::*member) {
  return {key,
          [member](PyObject* value, Record& record, const std::string& path, std::string* reason) {
            return config_detail::convert_value(value, record.*member, path, reason);
          },
          &config_detail::field_keys<T>,
          [member](const Record& record) { return config_detail::default_value(record.*member); }};
}

// The keys a configuration dict for `Record` may hold, as a new dict: the class attribute CONFIG_KEYS.
// Each key maps to None, to the dict of a nested record's keys, or to a one-element list holding the
// keys of the records of a list. The conversion tables above are the one list of keys; the command
// line checks configuration files against this tree.
template <ConfigRecord Record>
PyObject* config_keys() {
  return config_detail::record_keys<Record>();
}

// The defaults of `Record` as a new dict of the same tree as config_keys, each value in place of None:
// the class attribute CONFIG_DEFAULTS, the one statement of the engines' defaults for Python.
template <ConfigRecord Record>
PyObject* config_defaults() {
  return config_detail::default_value(Record{});
}

// Builds `out` from `config`: None (or nullptr) keeps the defaults; a dict converts by the table; anything
// else raises TypeError naming `config`. A value that does not convert raises ValueError
// "config: {reason}". Returns false with the exception set.
template <ConfigRecord Record>
bool config_from_py(PyObject* config, Record* out) {
  *out = Record{};
  if (config == nullptr || config == Py_None) return true;
  if (!PyDict_Check(config)) {
    PyErr_Format(PyExc_TypeError, "argument 'config': expected a dict or None, got %s", type_name(config).c_str());
    return false;
  }
  std::string reason;
  if (!config_detail::convert_record(config, *out, "", &reason)) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "config: %s", reason.c_str());
    return false;
  }
  return true;
}

}  // namespace velk_py
