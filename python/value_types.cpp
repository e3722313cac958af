#include "value_classes.hpp"

namespace velk_py {

PyTypeObject* g_image_frame_type = nullptr;
PyTypeObject* g_camera_model_type = nullptr;
PyTypeObject* g_imu_sample_type = nullptr;
PyTypeObject* g_imu_noise_model_type = nullptr;
PyTypeObject* g_odometry_estimate_type = nullptr;
PyTypeObject* g_point_cloud_type = nullptr;

int add_type(PyObject* module, PyType_Spec* spec, const char* name, PyTypeObject** slot) {
  PyObject* type = PyType_FromSpec(spec);
  if (type == nullptr) return -1;
  // The module object lives for the whole process, so the type stays alive through the module as well.
  if (PyModule_AddObjectRef(module, name, type) < 0) {
    Py_DECREF(type);
    return -1;
  }
  *slot = reinterpret_cast<PyTypeObject*>(type);
  return 0;
}

}  // namespace velk_py
