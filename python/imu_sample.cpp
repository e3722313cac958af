// class ImuSample(timestamp_ns, frame_id, angular_velocity, linear_acceleration)
#include "convert.hpp"
#include "value_classes.hpp"

namespace velk_py {
namespace {

using velk_slam::ImuSample;

PyObject* imu_sample_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"timestamp_ns", "frame_id", "angular_velocity", "linear_acceleration", nullptr};
  PyObject *stamp, *frame_id, *gyro, *accel;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:ImuSample", const_cast<char**>(kwlist), &stamp, &frame_id,
                                   &gyro, &accel)) {
    return nullptr;
  }
  ImuSample record;
  if (!arg_int64(stamp, "timestamp_ns", &record.timestamp_ns) || !arg_string(frame_id, "frame_id", &record.frame_id) ||
      !arg_vector3(gyro, "angular_velocity", &record.angular_velocity) ||
      !arg_vector3(accel, "linear_acceleration", &record.linear_acceleration)) {
    return nullptr;
  }
  return new_record_object(type, std::move(record));
}

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("ImuSample(timestamp_ns, frame_id, angular_velocity, linear_acceleration)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(guarded_new<imu_sample_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record_object<ImuSample>)},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.ImuSample", sizeof(RecordObject<ImuSample>), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

int add_imu_sample_type(PyObject* module) { return add_type(module, &spec, "ImuSample", &g_imu_sample_type); }

}  // namespace velk_py
