// class ImuNoiseModel(frame_id, gyro_noise_density, gyro_random_walk, accel_noise_density,
//                     accel_random_walk, frequency)
#include "convert.hpp"
#include "value_classes.hpp"

namespace velk_py {
namespace {

using velk_slam::ImuNoiseModel;

PyObject* imu_noise_model_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"frame_id",          "gyro_noise_density", "gyro_random_walk", "accel_noise_density",
                                 "accel_random_walk", "frequency",          nullptr};
  PyObject *frame_id, *gnd, *grw, *and_, *arw, *freq;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO:ImuNoiseModel", const_cast<char**>(kwlist), &frame_id, &gnd,
                                   &grw, &and_, &arw, &freq)) {
    return nullptr;
  }
  ImuNoiseModel record;
  if (!arg_string(frame_id, "frame_id", &record.frame_id) ||
      !arg_double(gnd, "gyro_noise_density", &record.gyro_noise_density) ||
      !arg_double(grw, "gyro_random_walk", &record.gyro_random_walk) ||
      !arg_double(and_, "accel_noise_density", &record.accel_noise_density) ||
      !arg_double(arw, "accel_random_walk", &record.accel_random_walk) ||
      !arg_double(freq, "frequency", &record.frequency)) {
    return nullptr;
  }
  return new_record_object(type, std::move(record));
}

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("ImuNoiseModel(frame_id, gyro_noise_density, gyro_random_walk, accel_noise_density, "
                                  "accel_random_walk, frequency)\n--\n\n"
                                  "cuVSLAM's inertial mode needs the sensor's noise model up front.")},
    {Py_tp_new, reinterpret_cast<void*>(guarded_new<imu_noise_model_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record_object<ImuNoiseModel>)},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.ImuNoiseModel", sizeof(RecordObject<ImuNoiseModel>), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

int add_imu_noise_model_type(PyObject* module) {
  return add_type(module, &spec, "ImuNoiseModel", &g_imu_noise_model_type);
}

}  // namespace velk_py
