// class OdometryEstimate(timestamp_ns, frame_id, child_frame_id, translation, rotation_xyzw,
//                        pose_covariance=None, twist_linear=..., twist_angular=..., twist_covariance=None)
//     timestamp_ns, frame_id, child_frame_id, translation, rotation_xyzw, pose_covariance,
//     twist_linear, twist_angular, twist_covariance  (read-only; each read builds a new value)
//     __repr__
#include "convert.hpp"
#include "value_classes.hpp"

#include "text.hpp"

#include <span>

namespace velk_py {
namespace {

using velk_slam::OdometryEstimate;

// ---- construction ----

// Covariances are type-checked with the other arguments, in parameter order, and length-checked after
// the quaternion is normalised, pose first; a declared length above 36 is refused before any element is
// read.
bool covariance_values(PyObject* obj, const char* arg, std::vector<double>* values, bool* given) {
  *given = obj != nullptr && obj != Py_None;
  return !*given || arg_float_list(obj, arg, values, 36, "covariance needs 36 row-major values, got %zd");
}

// None (or an omitted argument) gives the zero matrix; any count but 36 raises ValueError.
bool covariance_matrix(const std::vector<double>& values, bool given, velk_slam::Matrix6* out) {
  out->setZero();
  if (!given) {
    return true;
  }
  if (values.size() != 36) {
    PyErr_Format(PyExc_ValueError, "covariance needs 36 row-major values, got %zu", values.size());
    return false;
  }
  *out = velk_slam::matrix_from_row_major(std::span<const double, 36>(values.data(), 36));
  return true;
}

PyObject* odometry_estimate_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"timestamp_ns",    "frame_id",     "child_frame_id", "translation",
                                 "rotation_xyzw",   "pose_covariance", "twist_linear", "twist_angular",
                                 "twist_covariance", nullptr};
  PyObject *stamp, *frame_id, *child, *translation, *rotation;
  PyObject *pose_cov = nullptr, *twist_lin = nullptr, *twist_ang = nullptr, *twist_cov = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO|OOOO:OdometryEstimate", const_cast<char**>(kwlist), &stamp,
                                   &frame_id, &child, &translation, &rotation, &pose_cov, &twist_lin, &twist_ang,
                                   &twist_cov)) {
    return nullptr;
  }
  OdometryEstimate record;
  double q[4];
  std::vector<double> pose_values;
  std::vector<double> twist_values;
  bool pose_given = false;
  bool twist_given = false;
  if (!arg_int64(stamp, "timestamp_ns", &record.timestamp_ns) || !arg_string(frame_id, "frame_id", &record.frame_id) ||
      !arg_string(child, "child_frame_id", &record.child_frame_id) ||
      !arg_vector3(translation, "translation", &record.pose.translation) ||
      !arg_fixed_vector(rotation, "rotation_xyzw", 4, q) ||
      !covariance_values(pose_cov, "pose_covariance", &pose_values, &pose_given) ||
      (twist_lin != nullptr && !arg_vector3(twist_lin, "twist_linear", &record.twist_linear)) ||
      (twist_ang != nullptr && !arg_vector3(twist_ang, "twist_angular", &record.twist_angular)) ||
      !covariance_values(twist_cov, "twist_covariance", &twist_values, &twist_given)) {
    return nullptr;
  }
  record.pose = velk_slam::Isometry::from_parts(record.pose.translation, Eigen::Quaterniond(q[3], q[0], q[1], q[2]));
  if (!covariance_matrix(pose_values, pose_given, &record.pose_covariance) ||
      !covariance_matrix(twist_values, twist_given, &record.twist_covariance)) {
    return nullptr;
  }
  return new_record_object(type, std::move(record));
}

// ---- getters ----

const OdometryEstimate& rec(PyObject* self) { return record_of<OdometryEstimate>(self); }

PyObject* get_timestamp_ns(PyObject* self, void*) { return PyLong_FromLongLong(rec(self).timestamp_ns); }
PyObject* get_frame_id(PyObject* self, void*) { return string_to_py(rec(self).frame_id); }
PyObject* get_child_frame_id(PyObject* self, void*) { return string_to_py(rec(self).child_frame_id); }
PyObject* get_translation(PyObject* self, void*) { return vector3_to_tuple(rec(self).pose.translation); }
PyObject* get_rotation_xyzw(PyObject* self, void*) {
  const Eigen::Quaterniond& q = rec(self).pose.rotation;
  return Py_BuildValue("(dddd)", q.x(), q.y(), q.z(), q.w());
}
PyObject* get_pose_covariance(PyObject* self, void*) { return matrix_to_row_major(rec(self).pose_covariance); }
PyObject* get_twist_linear(PyObject* self, void*) { return vector3_to_tuple(rec(self).twist_linear); }
PyObject* get_twist_angular(PyObject* self, void*) { return vector3_to_tuple(rec(self).twist_angular); }
PyObject* get_twist_covariance(PyObject* self, void*) { return matrix_to_row_major(rec(self).twist_covariance); }

PyGetSetDef getset[] = {
    {"timestamp_ns", get_timestamp_ns, nullptr, nullptr, nullptr},
    {"frame_id", get_frame_id, nullptr, nullptr, nullptr},
    {"child_frame_id", get_child_frame_id, nullptr, nullptr, nullptr},
    {"translation", get_translation, nullptr, nullptr, nullptr},
    {"rotation_xyzw", get_rotation_xyzw, nullptr, nullptr, nullptr},
    {"pose_covariance", get_pose_covariance, nullptr, nullptr, nullptr},
    {"twist_linear", get_twist_linear, nullptr, nullptr, nullptr},
    {"twist_angular", get_twist_angular, nullptr, nullptr, nullptr},
    {"twist_covariance", get_twist_covariance, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- repr ----

// Fixed 4 decimals; non-finite values print as NaN, inf and -inf.
void append_fixed4(std::string& out, double v) { velk_slam::text::append_fixed(out, v, 4); }

PyObject* odometry_estimate_repr(PyObject* self) {
  const OdometryEstimate& e = rec(self);
  std::string text = "OdometryEstimate(" + e.frame_id + " -> " + e.child_frame_id + " @ " +
                     std::to_string(e.timestamp_ns) + " ns, t=[";
  append_fixed4(text, e.pose.translation.x());
  text += ", ";
  append_fixed4(text, e.pose.translation.y());
  text += ", ";
  append_fixed4(text, e.pose.translation.z());
  text += "])";
  return string_to_py(text);
}

// ---- type spec ----

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "OdometryEstimate(timestamp_ns, frame_id, child_frame_id, translation, rotation_xyzw, "
                    "pose_covariance=None, twist_linear=..., twist_angular=..., twist_covariance=None)\n--\n\n"
                    "A pose of `child_frame_id` in `frame_id`, with the twist expressed in\n"
                    "`child_frame_id`. Covariances are 36 row-major values, xyz then rpy.")},
    {Py_tp_new, reinterpret_cast<void*>(guarded_new<odometry_estimate_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record_object<OdometryEstimate>)},
    {Py_tp_getset, getset},
    {Py_tp_repr, reinterpret_cast<void*>(guarded_unary<odometry_estimate_repr>)},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.OdometryEstimate", sizeof(RecordObject<OdometryEstimate>), 0, Py_TPFLAGS_DEFAULT,
                    slots};

}  // namespace

int add_odometry_estimate_type(PyObject* module) {
  return add_type(module, &spec, "OdometryEstimate", &g_odometry_estimate_type);
}

}  // namespace velk_py
