// class OdometryFusion(config=None)
//     handle_imu(imu: ImuSample, base_from_imu: TransformPair) -> None
//     handle_source(estimate: OdometryEstimate) -> None
//     maybe_publish() -> OdometryEstimate | None
//     report() -> None
//     counters() -> dict[str, int]
//
// Owns one FusionCore. Argument errors raise TypeError / ValueError before the engine runs. A configuration
// that the engine refuses at first use (handle_imu, handle_source before initialisation) raises
// PanicException with the refusal's message; the object stays usable and uninitialised. Re-entering the
// object while one of its calls runs raises RuntimeError.
#include "borrow.hpp"
#include "config_convert.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "value_classes.hpp"

#include "odometry_fusion/fusion_core.hpp"

#include <memory>
#include <new>

namespace fusion = velk_slam::odometry_fusion;

namespace velk_py {

template <>
struct ConfigFields<fusion::ImuConfig> {
  static const FieldList<fusion::ImuConfig>& fields() {
    using C = fusion::ImuConfig;
    static const FieldList<C> f{
        field("frame_id", &C::frame_id),
        field("gyro_noise_density", &C::gyro_noise_density),
        field("gyro_random_walk", &C::gyro_random_walk),
        field("accel_noise_density", &C::accel_noise_density),
        field("accel_random_walk", &C::accel_random_walk),
        field("init_samples", &C::init_samples),
        field("init_gyro_limit", &C::init_gyro_limit),
        field("init_accel_limit", &C::init_accel_limit),
    };
    return f;
  }
};

template <>
struct ConfigFields<fusion::SourceConfig> {
  static const FieldList<fusion::SourceConfig>& fields() {
    using C = fusion::SourceConfig;
    static const FieldList<C> f{
        field("parent_frame_id", &C::parent_frame_id),
        field("child_frame_id", &C::child_frame_id),
        field("pose_variances", &C::pose_variances),
        field("twist_variances", &C::twist_variances),
        field("differential", &C::differential),
        field("odom_from_parent", &C::odom_from_parent),
    };
    return f;
  }
};

template <>
struct ConfigFields<fusion::InitialStds> {
  static const FieldList<fusion::InitialStds>& fields() {
    using C = fusion::InitialStds;
    static const FieldList<C> f{
        field("position", &C::position),
        field("velocity", &C::velocity),
        field("rotation", &C::rotation),
        field("bias", &C::bias),
        field("gyro_bias", &C::gyro_bias),
        field("accel_bias", &C::accel_bias),
    };
    return f;
  }
};

template <>
struct ConfigFields<fusion::OdometryFusionConfig> {
  static const FieldList<fusion::OdometryFusionConfig>& fields() {
    using C = fusion::OdometryFusionConfig;
    static const FieldList<C> f{
        field("odom_frame_id", &C::odom_frame_id),
        field("output_frame_id", &C::output_frame_id),
        field("publish_rate", &C::publish_rate),
        field("replay_buffer_seconds", &C::replay_buffer_seconds),
        field("outlier_rejection_allowed_variance", &C::outlier_rejection_allowed_variance),
        field("max_position_m", &C::max_position_m),
        field("imus", &C::imus),
        field("initial_gravity_estimate", &C::initial_gravity_estimate),
        field("initial_stds", &C::initial_stds),
        field("odom_sources", &C::odom_sources),
        field("per_dimension_error_variance", &C::per_dimension_error_variance),
        field("gate_recovery_seconds", &C::gate_recovery_seconds),
        field("init_moving_after_seconds", &C::init_moving_after_seconds),
    };
    return f;
  }
};

namespace {

constexpr const char* kTypeName = "OdometryFusion";

// ---- instance ----

struct OdometryFusionObject {
  PyObject_HEAD
  std::unique_ptr<fusion::FusionCore> core;
  BorrowFlag borrow;
};

OdometryFusionObject* as_fusion(PyObject* self) { return reinterpret_cast<OdometryFusionObject*>(self); }

// ---- construction and destruction ----

PyObject* fusion_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"config", nullptr};
  PyObject* config = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:OdometryFusion", const_cast<char**>(kwlist), &config)) {
    return nullptr;
  }
  std::unique_ptr<fusion::FusionCore> core;
  VELK_PY_GUARD_BEGIN
  // Inside the guard: building the record's strings and lists can throw std::bad_alloc.
  fusion::OdometryFusionConfig record;
  if (!config_from_py(config, &record)) {
    return nullptr;
  }
  core = std::make_unique<fusion::FusionCore>(std::move(record));
  VELK_PY_GUARD_END(nullptr)

  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) {
    return nullptr;
  }
  OdometryFusionObject* obj = as_fusion(self);
  new (&obj->core) std::unique_ptr<fusion::FusionCore>(std::move(core));
  new (&obj->borrow) BorrowFlag();
  return self;
}

void fusion_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_fusion(self)->core.~unique_ptr();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// ---- methods ----

// The engine's answer to an input: None, or PanicException carrying a configuration refusal.
PyObject* none_or_refusal(const std::optional<std::string>& refusal) {
  if (refusal.has_value()) {
    PyErr_SetString(panic_exception(), refusal->c_str());
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* handle_imu(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"imu", "base_from_imu", nullptr};
  PyObject* imu = nullptr;
  PyObject* transform = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:handle_imu", const_cast<char**>(kwlist), &imu, &transform)) {
    return nullptr;
  }
  BorrowGuard guard;
  if (!guard.acquire_exclusive(as_fusion(self)->borrow, kTypeName)) return nullptr;
  const velk_slam::ImuSample* sample = imu_sample_arg(imu, "imu");
  if (sample == nullptr) return nullptr;
  velk_slam::Isometry base_from_imu;
  if (!arg_transform_pair(transform, "base_from_imu", &base_from_imu)) return nullptr;
  VELK_PY_GUARD_BEGIN
  return none_or_refusal(as_fusion(self)->core->handle_imu(*sample, base_from_imu));
  VELK_PY_GUARD_END(nullptr)
}

PyObject* handle_source(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"estimate", nullptr};
  PyObject* estimate = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:handle_source", const_cast<char**>(kwlist), &estimate)) {
    return nullptr;
  }
  BorrowGuard guard;
  if (!guard.acquire_exclusive(as_fusion(self)->borrow, kTypeName)) return nullptr;
  const velk_slam::OdometryEstimate* record = odometry_estimate_arg(estimate, "estimate");
  if (record == nullptr) return nullptr;
  VELK_PY_GUARD_BEGIN
  return none_or_refusal(as_fusion(self)->core->handle_source(*record));
  VELK_PY_GUARD_END(nullptr)
}

PyObject* maybe_publish(PyObject* self, PyObject*) {
  BorrowGuard guard;
  if (!guard.acquire_exclusive(as_fusion(self)->borrow, kTypeName)) return nullptr;
  VELK_PY_GUARD_BEGIN
  std::optional<velk_slam::OdometryEstimate> estimate = as_fusion(self)->core->maybe_publish();
  if (!estimate.has_value()) Py_RETURN_NONE;
  return wrap_odometry_estimate(std::move(*estimate));
  VELK_PY_GUARD_END(nullptr)
}

PyObject* report(PyObject* self, PyObject*) {
  BorrowGuard guard;
  if (!guard.acquire_shared(as_fusion(self)->borrow, kTypeName)) return nullptr;
  VELK_PY_GUARD_BEGIN
  as_fusion(self)->core->report();
  VELK_PY_GUARD_END(nullptr)
  Py_RETURN_NONE;
}

// The counters that report() logs, as a new dict, for hosts that publish diagnostics themselves.
PyObject* counters(PyObject* self, PyObject*) {
  BorrowGuard guard;
  if (!guard.acquire_shared(as_fusion(self)->borrow, kTypeName)) return nullptr;
  return counters_to_dict(as_fusion(self)->core->counters());
}

PyCFunction with_keywords(PyCFunctionWithKeywords f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef methods[] = {
    {"handle_imu", with_keywords(handle_imu), METH_VARARGS | METH_KEYWORDS,
     "handle_imu($self, imu, base_from_imu)\n--\n\n"
     "Feed one IMU sample; base_from_imu is the pose of the IMU in the robot's base\n"
     "frame, ((x, y, z), (qx, qy, qz, qw)). Returns None: what became of the sample\n"
     "shows in counters() and the log."},
    {"handle_source", with_keywords(handle_source), METH_VARARGS | METH_KEYWORDS,
     "handle_source($self, estimate)\n--\n\n"
     "Feed one estimate of an odometry source, matched to its odom_sources entry by\n"
     "parent_frame_id and child_frame_id. Returns None: what became of it shows in\n"
     "counters() and the log."},
    {"maybe_publish", maybe_publish, METH_NOARGS,
     "maybe_publish($self)\n--\n\n"
     "The fused estimate once the publish period has elapsed on the data clock,\n"
     "else None. Call after each input."},
    {"report", report, METH_NOARGS, "report($self)\n--\n\n"},
    {"counters", counters, METH_NOARGS,
     "counters($self)\n--\n\n"
     "The engine's counters as a dict keyed by COUNTER_NAMES, in that order (the fields of the\n"
     "line report() logs)."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- type spec ----

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "OdometryFusion(config=None)\n--\n\n"
                    "The error-state Kalman fuser of IMU samples and odometry estimates. `config` mirrors the\n"
                    "OdometryFusionConfig record as a dict (absent keys take their defaults); every\n"
                    "`odom_sources` entry names its parent_frame_id and child_frame_id.")},
    {Py_tp_new, reinterpret_cast<void*>(fusion_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(fusion_dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.OdometryFusion", sizeof(OdometryFusionObject), 0, Py_TPFLAGS_DEFAULT, slots};

PyTypeObject* g_odometry_fusion_type = nullptr;

}  // namespace

int add_odometry_fusion_type(PyObject* module) {
  if (add_type(module, &spec, kTypeName, &g_odometry_fusion_type) < 0 ||
      set_class_attribute(g_odometry_fusion_type, "CONFIG_KEYS", config_keys<fusion::OdometryFusionConfig>()) < 0 ||
      set_class_attribute(g_odometry_fusion_type, "CONFIG_DEFAULTS", config_defaults<fusion::OdometryFusionConfig>()) < 0) {
    return -1;
  }
  return set_class_attribute(g_odometry_fusion_type, "COUNTER_NAMES",
                             counter_names_to_tuple<velk_slam::odometry_fusion::Counters>());
}

}  // namespace velk_py
