// velk_odom._native: module entry and the transform functions.
//
//   __version__: str, the version of pyproject.toml
//   ImageFrame, CameraModel, ImuSample, ImuNoiseModel, OdometryEstimate, PointCloud,
//   CuvslamOdometry, OdometryFusion: classes
//   init_logging(level="info") -> None
//   compose(a, b) -> transform pair
//   invert(t) -> transform pair
//   PanicException: BaseException subclass raised by the engine classes
#include "convert.hpp"
#include "module.hpp"
#include "value_classes.hpp"

#include <new>
#include <stdexcept>

namespace velk_py {
namespace {

PyObject* g_module = nullptr;
PyObject* g_panic_exception = nullptr;

// ---- transform functions ----

PyObject* py_invert(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"t", nullptr};
  PyObject* t = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:invert", const_cast<char**>(kwlist), &t)) return nullptr;
  velk_slam::Isometry iso;
  if (!arg_transform_pair(t, "t", &iso)) return nullptr;
  return transform_pair_to_py(iso.inverse());
}

PyObject* py_compose(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"a", "b", nullptr};
  PyObject* a = nullptr;
  PyObject* b = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:compose", const_cast<char**>(kwlist), &a, &b)) return nullptr;
  velk_slam::Isometry ia;
  velk_slam::Isometry ib;
  if (!arg_transform_pair(a, "a", &ia) || !arg_transform_pair(b, "b", &ib)) return nullptr;
  return transform_pair_to_py(ia * ib);
}

PyMethodDef invert_def = {"invert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_invert)),
                          METH_VARARGS | METH_KEYWORDS, "invert(t)\n--\n\nInvert a transform."};
PyMethodDef compose_def = {"compose", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_compose)),
                           METH_VARARGS | METH_KEYWORDS, "compose(a, b)\n--\n\nCompose two transforms."};

int add_function(PyObject* module, PyMethodDef* def) {
  PyRef name = PyRef::steal(PyUnicode_FromString("velk_odom._native"));
  if (!name) return -1;
  PyRef fn = PyRef::steal(PyCFunction_NewEx(def, nullptr, name.get()));
  if (!fn) return -1;
  return PyModule_AddObjectRef(module, def->ml_name, fn.get());
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_native", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* create_module() {
  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  PyObject* m = module.get();
  if (PyModule_AddStringConstant(m, "__version__", VELK_VERSION) < 0 || add_image_frame_type(m) < 0 ||
      add_camera_model_type(m) < 0 || add_imu_sample_type(m) < 0 || add_imu_noise_model_type(m) < 0 ||
      add_odometry_estimate_type(m) < 0 || add_point_cloud_type(m) < 0 || add_cuvslam_odometry_type(m) < 0 ||
      add_odometry_fusion_type(m) < 0 || add_init_logging(m) < 0 || add_function(m, &compose_def) < 0 ||
      add_function(m, &invert_def) < 0) {
    return nullptr;
  }
  // After the twelve public names, so that their order stays as registered above.
  g_panic_exception = PyErr_NewExceptionWithDoc(
      "velk_odom.PanicException",
      "Raised for a fusion configuration refused at first use and for a CuvslamOdometry call from a\n"
      "thread other than its creator. Derives from BaseException, not Exception.",
      PyExc_BaseException, nullptr);
  if (g_panic_exception == nullptr || PyModule_AddObjectRef(m, "PanicException", g_panic_exception) < 0) return nullptr;
  return module.release();
}

}  // namespace

PyObject* panic_exception() { return g_panic_exception; }

PyObject* set_error_from_current_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(g_panic_exception != nullptr ? g_panic_exception : PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(g_panic_exception != nullptr ? g_panic_exception : PyExc_RuntimeError, "unknown C++ exception");
  }
  return nullptr;
}

}  // namespace velk_py

PyMODINIT_FUNC PyInit__native(void) {
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) {
    PyErr_SetString(PyExc_ImportError,
                    "velk_odom._native can only be loaded in the main interpreter, not in a sub-interpreter");
    return nullptr;
  }
  if (velk_py::g_module != nullptr) {
    Py_INCREF(velk_py::g_module);
    return velk_py::g_module;
  }
  PyObject* module = velk_py::create_module();
  if (module == nullptr) return nullptr;
  Py_INCREF(module);  // held for the life of the process: a second initialisation returns it
  velk_py::g_module = module;
  return module;
}
