// class CameraModel(timestamp_ns, frame_id, width, height, distortion, intrinsics)
#include "convert.hpp"
#include "value_classes.hpp"

namespace velk_py {
namespace {

using velk_slam::CameraModel;

PyObject* camera_model_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"timestamp_ns", "frame_id", "width", "height", "distortion", "intrinsics", nullptr};
  PyObject *stamp, *frame_id, *width, *height, *distortion, *intrinsics;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO:CameraModel", const_cast<char**>(kwlist), &stamp, &frame_id,
                                   &width, &height, &distortion, &intrinsics)) {
    return nullptr;
  }
  CameraModel record;
  std::vector<double> k;
  if (!arg_int64(stamp, "timestamp_ns", &record.timestamp_ns) || !arg_string(frame_id, "frame_id", &record.frame_id) ||
      !arg_int32(width, "width", &record.width) || !arg_int32(height, "height", &record.height) ||
      !arg_float_list(distortion, "distortion", &record.distortion) || !arg_float_list(intrinsics, "intrinsics", &k, 9,
                      "argument 'intrinsics': expected 9 values (row-major 3x3), got %zd")) {
    return nullptr;
  }
  if (k.size() != 9) {
    PyErr_Format(PyExc_ValueError, "argument 'intrinsics': expected 9 values (row-major 3x3), got %zu", k.size());
    return nullptr;
  }
  std::copy(k.begin(), k.end(), record.intrinsics.begin());
  return new_record_object(type, std::move(record));
}

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "CameraModel(timestamp_ns, frame_id, width, height, distortion, intrinsics)\n--\n\n"
                    "Pinhole intrinsics plus plumb_bob distortion (k1, k2, p1, p2, k3).\n"
                    "`intrinsics` is the row-major 3x3: fx, 0, cx, 0, fy, cy, 0, 0, 1.")},
    {Py_tp_new, reinterpret_cast<void*>(guarded_new<camera_model_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record_object<CameraModel>)},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.CameraModel", sizeof(RecordObject<CameraModel>), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

int add_camera_model_type(PyObject* module) { return add_type(module, &spec, "CameraModel", &g_camera_model_type); }

}  // namespace velk_py
