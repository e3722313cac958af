// The six value classes: Python objects that each own one record. Engine classes read them through the
// accessors below and hand engine results back through the wrap_* functions.
#pragma once

#include "module.hpp"
#include "py_ref.hpp"

#include "types.hpp"

#include <new>
#include <utility>

namespace velk_py {

// Instance layout shared by the value classes: the object header and the record it owns.
template <typename Record>
struct RecordObject {
  PyObject_HEAD
  Record record;
};

// Type objects, created once at module initialisation.
extern PyTypeObject* g_image_frame_type;
extern PyTypeObject* g_camera_model_type;
extern PyTypeObject* g_imu_sample_type;
extern PyTypeObject* g_imu_noise_model_type;
extern PyTypeObject* g_odometry_estimate_type;
extern PyTypeObject* g_point_cloud_type;

// Each creates its type and adds it to the module under its name; -1 with an exception set on failure.
int add_image_frame_type(PyObject* module);
int add_camera_model_type(PyObject* module);
int add_imu_sample_type(PyObject* module);
int add_imu_noise_model_type(PyObject* module);
int add_odometry_estimate_type(PyObject* module);
int add_point_cloud_type(PyObject* module);

// The record of obj when obj is an instance of `type` (or a subclass); otherwise nullptr with a TypeError
// naming `arg` set.
template <typename Record>
const Record* record_arg(PyObject* obj, PyTypeObject* type, const char* arg, const char* type_label) {
  // The real type, not isinstance(): an object can claim any class through a `__class__` property, and its
  // memory would then be read as a record.
  if (Py_TYPE(obj) != type && !PyType_IsSubtype(Py_TYPE(obj), type)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected %s", arg, type_label);
    return nullptr;
  }
  return &reinterpret_cast<RecordObject<Record>*>(obj)->record;
}

inline const velk_slam::ImageFrame* image_frame_arg(PyObject* obj, const char* arg) {
  return record_arg<velk_slam::ImageFrame>(obj, g_image_frame_type, arg, "ImageFrame");
}
inline const velk_slam::CameraModel* camera_model_arg(PyObject* obj, const char* arg) {
  return record_arg<velk_slam::CameraModel>(obj, g_camera_model_type, arg, "CameraModel");
}
inline const velk_slam::ImuSample* imu_sample_arg(PyObject* obj, const char* arg) {
  return record_arg<velk_slam::ImuSample>(obj, g_imu_sample_type, arg, "ImuSample");
}
inline const velk_slam::ImuNoiseModel* imu_noise_model_arg(PyObject* obj, const char* arg) {
  return record_arg<velk_slam::ImuNoiseModel>(obj, g_imu_noise_model_type, arg, "ImuNoiseModel");
}
inline const velk_slam::OdometryEstimate* odometry_estimate_arg(PyObject* obj, const char* arg) {
  return record_arg<velk_slam::OdometryEstimate>(obj, g_odometry_estimate_type, arg, "OdometryEstimate");
}

// Allocates an instance of `type` owning `record` (moved in). New reference, or nullptr with an exception.
template <typename Record>
PyObject* new_record_object(PyTypeObject* type, Record&& record) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<RecordObject<std::decay_t<Record>>*>(self)->record) std::decay_t<Record>(std::forward<Record>(record));
  return self;
}

template <typename Record>
void dealloc_record_object(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<RecordObject<Record>*>(self)->record.~Record();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

template <typename Record>
Record& record_of(PyObject* self) {
  return reinterpret_cast<RecordObject<Record>*>(self)->record;
}

inline PyObject* wrap_odometry_estimate(velk_slam::OdometryEstimate record) {
  return new_record_object(g_odometry_estimate_type, std::move(record));
}
inline PyObject* wrap_point_cloud(velk_slam::PointCloud record) {
  return new_record_object(g_point_cloud_type, std::move(record));
}

// Slot wrappers that keep C++ exceptions (std::bad_alloc for a huge record, say) from crossing into
// CPython: each becomes a Python exception and the slot's failure value.
template <PyObject* (*New)(PyTypeObject*, PyObject*, PyObject*)>
PyObject* guarded_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  try {
    return New(type, args, kwargs);
  } catch (...) {
    return set_error_from_current_exception();
  }
}
template <PyObject* (*Unary)(PyObject*)>
PyObject* guarded_unary(PyObject* self) noexcept {
  try {
    return Unary(self);
  } catch (...) {
    return set_error_from_current_exception();
  }
}
template <PyObject* (*Get)(PyObject*, void*)>
PyObject* guarded_getter(PyObject* self, void* closure) noexcept {
  try {
    return Get(self, closure);
  } catch (...) {
    return set_error_from_current_exception();
  }
}

// Creates a heap type from a spec and adds it to the module; stores it in *slot. -1 on failure.
int add_type(PyObject* module, PyType_Spec* spec, const char* name, PyTypeObject** slot);

}  // namespace velk_py
