// class CuvslamOdometry(config=None, *, tf)
//     handle_camera_info(info: CameraModel) -> None
//     handle_imu_info(info: ImuNoiseModel) -> None
//     handle_imu(imu: ImuSample) -> None
//     handle_image(image: ImageFrame) -> OdometryEstimate | None
//     handle_depth_image(image: ImageFrame) -> tuple[PointCloud | None, OdometryEstimate | None]
//     handle_depth_camera_info(info: CameraModel) -> None
//     report() -> None
//     counters() -> dict[str, int]
//
// The object is bound to the thread that created it: a call from another thread raises PanicException.
// Freed on another thread, its engine is not destroyed there but handed to the owning thread, which
// destroys it at its next call into this class (or any thread does, once the owning thread has ended);
// a plain drop on another thread is also reported through sys.unraisablehook, a cycle collected there is
// not (`tf=self.lookup` makes such a cycle, and the collector runs on whichever thread allocates). Methods
// that look transforms up hand the engine a PyTf over `tf`; the first error `tf` raised during the call is
// raised once the engine has finished. The object takes part in cycle collection through `tf`.
#include "borrow.hpp"
#include "config_convert.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "py_tf.hpp"
#include "value_classes.hpp"

#include "cuvslam_odometry/cuvslam_core.hpp"
#include "log.hpp"

#include <algorithm>
#include <vector>

#include <memory>
#include <new>
#include <pythread.h>

namespace cvo = velk_slam::cuvslam_odometry;

namespace velk_py {

template <>
struct ConfigFields<cvo::CameraConfig> {
  static const FieldList<cvo::CameraConfig>& fields() {
    using C = cvo::CameraConfig;
    static const FieldList<C> f{
        field("frame_id", &C::frame_id),
        field("rectified", &C::rectified),
        field("depth_units_per_meter", &C::depth_units_per_meter),
        field("depth_cloud_min_range", &C::depth_cloud_min_range),
        field("depth_cloud_max_range", &C::depth_cloud_max_range),
        field("depth_cloud_decimation", &C::depth_cloud_decimation),
        field("provides_depth", &C::provides_depth),
    };
    return f;
  }
};

template <>
struct ConfigFields<cvo::CuvslamOdometryConfig> {
  static const FieldList<cvo::CuvslamOdometryConfig>& fields() {
    using C = cvo::CuvslamOdometryConfig;
    static const FieldList<C> f{
        field("camera_mode", &C::camera_mode),
        field("cameras", &C::cameras),
        field("use_gpu", &C::use_gpu),
        field("odom_frame_id", &C::odom_frame_id),
        field("output_frame_id", &C::output_frame_id),
        field("rig_frame_id", &C::rig_frame_id),
        field("map_frame_id", &C::map_frame_id),
        field("covariance_gate_translation_std", &C::covariance_gate_translation_std),
        field("speed_gate_max_linear", &C::speed_gate_max_linear),
        field("speed_gate_max_angular", &C::speed_gate_max_angular),
        field("enable_imu", &C::enable_imu),
        field("max_skew_ms", &C::max_skew_ms),
        field("imu_gap_seconds", &C::imu_gap_seconds),
        field("tracker_threads", &C::tracker_threads),
    };
    return f;
  }
};

namespace {

constexpr const char* kTypeName = "CuvslamOdometry";

// ---- instance ----

struct CuvslamOdometryObject {
  PyObject_HEAD
  std::unique_ptr<cvo::CuvslamCore> core;
  PyObject* tf;  // strong reference; null only after tp_clear
  unsigned long owner_thread;
  BorrowFlag borrow;
};

CuvslamOdometryObject* as_vo(PyObject* self) { return reinterpret_cast<CuvslamOdometryObject*>(self); }

// ---- engines freed on a thread other than their own ----

struct Orphan {
  unsigned long owner_thread;
  std::unique_ptr<cvo::CuvslamCore> core;
};

// Guarded by the interpreter lock. Never destroyed, so that engines still waiting at exit are not torn
// down after the interpreter.
std::vector<Orphan>& orphans() {
  static auto* list = new std::vector<Orphan>();
  return *list;
}

// Idents of the threads that the threading module knows to be alive; empty with the error cleared when
// it cannot tell (no owner is then taken for dead).
std::vector<unsigned long> live_threads() {
  std::vector<unsigned long> idents;
  PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
  PyRef threads = threading ? PyRef::steal(PyObject_CallMethod(threading.get(), "enumerate", nullptr)) : PyRef();
  PyRef iter = threads ? PyRef::steal(PyObject_GetIter(threads.get())) : PyRef();
  if (!iter) {
    PyErr_Clear();
    return {};
  }
  while (PyRef thread = PyRef::steal(PyIter_Next(iter.get()))) {
    PyRef ident = PyRef::steal(PyObject_GetAttrString(thread.get(), "ident"));
    if (ident && PyLong_Check(ident.get())) {
      idents.push_back(PyLong_AsUnsignedLong(ident.get()));
    }
    PyErr_Clear();
  }
  PyErr_Clear();
  return idents;
}

// Destroys the orphaned engines of the calling thread, and with `also_dead_owners` those whose owning
// thread has ended (nobody else would ever release them).
void release_orphans(bool also_dead_owners) {
  std::vector<Orphan>& list = orphans();
  if (list.empty()) return;
  const unsigned long me = PyThread_get_thread_ident();
  std::vector<unsigned long> alive;
  if (also_dead_owners && std::any_of(list.begin(), list.end(), [&](const Orphan& o) { return o.owner_thread != me; })) {
    alive = live_threads();
  }
  const auto releasable = [&](const Orphan& o) {
    return o.owner_thread == me ||
           (!alive.empty() && std::find(alive.begin(), alive.end(), o.owner_thread) == alive.end());
  };
  std::vector<Orphan> released;
  for (auto it = list.begin(); it != list.end();) {
    if (releasable(*it)) {
      released.push_back(std::move(*it));
      it = list.erase(it);
    } else {
      ++it;
    }
  }
  if (!released.empty()) {
    VELK_LOG(Debug, cvo::kLogTarget, "cuvslam engines freed on another thread released", {"released", released.size()},
             {"waiting", list.size()});
  }
}

// First step of every method: the object is bound to its creating thread.
bool on_owner_thread(PyObject* self) {
  if (PyThread_get_thread_ident() == as_vo(self)->owner_thread) {
    release_orphans(false);
    return true;
  }
  PyErr_SetString(panic_exception(), "velk_odom::CuvslamOdometry is unsendable, but sent to another thread");
  return false;
}

// ---- construction, GC hooks, destruction ----

PyObject* vo_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"config", "tf", nullptr};
  PyObject* config = Py_None;
  PyObject* tf = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$O:CuvslamOdometry", const_cast<char**>(kwlist), &config, &tf)) {
    return nullptr;
  }
  if (tf == nullptr) {
    PyErr_SetString(PyExc_TypeError, "CuvslamOdometry() missing required keyword-only argument: 'tf'");
    return nullptr;
  }
  std::unique_ptr<cvo::CuvslamCore> core;
  VELK_PY_GUARD_BEGIN
  release_orphans(true);
  cvo::CuvslamOdometryConfig record;
  if (!config_from_py(config, &record)) {
    return nullptr;
  }
  auto created = cvo::CuvslamCore::create(std::move(record));
  if (auto* refusal = std::get_if<std::string>(&created)) {
    PyErr_SetString(PyExc_ValueError, refusal->c_str());
    return nullptr;
  }
  core = std::move(std::get<std::unique_ptr<cvo::CuvslamCore>>(created));
  VELK_PY_GUARD_END(nullptr)

  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);  // zero-filled and tracked by the cycle collector
  if (self == nullptr) {
    return nullptr;
  }
  CuvslamOdometryObject* obj = as_vo(self);
  new (&obj->core) std::unique_ptr<cvo::CuvslamCore>(std::move(core));
  new (&obj->borrow) BorrowFlag();
  obj->owner_thread = PyThread_get_thread_ident();
  Py_INCREF(tf);
  obj->tf = tf;
  return self;
}

int vo_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_vo(self)->tf);
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));  // instances of heap types own their type
  return 0;
}

int vo_clear(PyObject* self) {
  Py_CLEAR(as_vo(self)->tf);
  return 0;
}

// Present so that the cycle collector marks the objects it frees as finalized: dealloc then knows that
// the collector, not the host, freed this one.
void vo_finalize(PyObject*) {}

void vo_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  CuvslamOdometryObject* obj = as_vo(self);
  if (PyThread_get_thread_ident() != obj->owner_thread && obj->core) {
    // The engine belongs to its creating thread: handed to it instead of destroyed here.
    const bool collected = PyObject_GC_IsFinalized(self) != 0;
    PyObject *saved_type, *saved_value, *saved_traceback;
    PyErr_Fetch(&saved_type, &saved_value, &saved_traceback);
    try {
      orphans().push_back(Orphan{obj->owner_thread, std::move(obj->core)});
    } catch (const std::bad_alloc&) {
      static_cast<void>(obj->core.release());  // nowhere to keep it: leaked rather than destroyed here
    }
    if (collected) {
      VELK_LOG(Debug, cvo::kLogTarget, "cuvslam engine collected on another thread; its own thread releases it",
               {"waiting", orphans().size()});
    } else {
      PyErr_SetString(PyExc_RuntimeError,
                      "velk_odom::CuvslamOdometry is unsendable, but is being dropped on another thread");
      PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(type));
    }
    PyErr_Restore(saved_type, saved_value, saved_traceback);
  }
  vo_clear(self);
  obj->core.~unique_ptr();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// ---- methods ----

// Runs one engine entry that looks transforms up: exclusive access, the call, then the held tf error if
// any (the engine's result is dropped), else `convert(result)`.
template <typename Call, typename Convert>
PyObject* run_with_lookup(PyObject* self, Call&& call, Convert&& convert) {
  PyTf tf(as_vo(self)->tf);
  VELK_PY_GUARD_BEGIN
  auto result = call(tf);
  if (tf.raise_pending()) {
    return nullptr;
  }
  return convert(std::move(result));
  VELK_PY_GUARD_END(nullptr)
}

// Parses the single argument `name` of a method after the thread check and takes exclusive access.
bool enter(PyObject* self, PyObject* args, PyObject* kwargs, const char* format, const char* name, PyObject** arg,
           BorrowGuard& guard) {
  if (!on_owner_thread(self)) {
    return false;
  }
  const char* kwlist[] = {name, nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), arg)) {
    return false;
  }
  return guard.acquire_exclusive(as_vo(self)->borrow, kTypeName);
}

PyObject* none_result(bool) { Py_RETURN_NONE; }

PyObject* estimate_or_none(std::optional<velk_slam::OdometryEstimate> estimate) {
  if (!estimate.has_value()) Py_RETURN_NONE;
  return wrap_odometry_estimate(std::move(*estimate));
}

PyObject* handle_camera_info(PyObject* self, PyObject* args, PyObject* kwargs) {
  BorrowGuard guard;
  PyObject* info = nullptr;
  if (!enter(self, args, kwargs, "O:handle_camera_info", "info", &info, guard)) return nullptr;
  const velk_slam::CameraModel* model = camera_model_arg(info, "info");
  if (model == nullptr) return nullptr;
  VELK_PY_GUARD_BEGIN
  velk_slam::CameraModel copy = *model;
  return run_with_lookup(
      self,
      [&](PyTf& tf) {
        as_vo(self)->core->handle_camera_info(std::move(copy), tf);
        return true;
      },
      none_result);
  VELK_PY_GUARD_END(nullptr)
}

PyObject* handle_imu_info(PyObject* self, PyObject* args, PyObject* kwargs) {
  BorrowGuard guard;
  PyObject* info = nullptr;
  if (!enter(self, args, kwargs, "O:handle_imu_info", "info", &info, guard)) return nullptr;
  const velk_slam::ImuNoiseModel* noise = imu_noise_model_arg(info, "info");
  if (noise == nullptr) return nullptr;
  VELK_PY_GUARD_BEGIN
  velk_slam::ImuNoiseModel copy = *noise;
  return run_with_lookup(
      self,
      [&](PyTf& tf) {
        as_vo(self)->core->handle_imu_info(std::move(copy), tf);
        return true;
      },
      none_result);
  VELK_PY_GUARD_END(nullptr)
}

PyObject* handle_imu(PyObject* self, PyObject* args, PyObject* kwargs) {
  BorrowGuard guard;
  PyObject* imu = nullptr;
  if (!enter(self, args, kwargs, "O:handle_imu", "imu", &imu, guard)) return nullptr;
  const velk_slam::ImuSample* sample = imu_sample_arg(imu, "imu");
  if (sample == nullptr) return nullptr;
  VELK_PY_GUARD_BEGIN
  as_vo(self)->core->handle_imu(*sample);
  VELK_PY_GUARD_END(nullptr)
  Py_RETURN_NONE;
}

PyObject* handle_image(PyObject* self, PyObject* args, PyObject* kwargs) {
  BorrowGuard guard;
  PyObject* image = nullptr;
  if (!enter(self, args, kwargs, "O:handle_image", "image", &image, guard)) return nullptr;
  const velk_slam::ImageFrame* frame = image_frame_arg(image, "image");
  if (frame == nullptr) return nullptr;
  VELK_PY_GUARD_BEGIN
  velk_slam::ImageFrame copy = *frame;
  return run_with_lookup(
      self, [&](PyTf& tf) { return as_vo(self)->core->handle_image(std::move(copy), tf); }, estimate_or_none);
  VELK_PY_GUARD_END(nullptr)
}

PyObject* handle_depth_image(PyObject* self, PyObject* args, PyObject* kwargs) {
  BorrowGuard guard;
  PyObject* image = nullptr;
  if (!enter(self, args, kwargs, "O:handle_depth_image", "image", &image, guard)) return nullptr;
  const velk_slam::ImageFrame* frame = image_frame_arg(image, "image");
  if (frame == nullptr) return nullptr;
  VELK_PY_GUARD_BEGIN
  velk_slam::ImageFrame copy = *frame;
  return run_with_lookup(
      self, [&](PyTf& tf) { return as_vo(self)->core->handle_depth_image(std::move(copy), tf); },
      [](std::pair<std::optional<velk_slam::PointCloud>, std::optional<velk_slam::OdometryEstimate>> result)
          -> PyObject* {
        PyRef cloud = result.first.has_value() ? PyRef::steal(wrap_point_cloud(std::move(*result.first)))
                                               : PyRef::borrow(Py_None);
        if (!cloud) return nullptr;
        PyRef estimate = PyRef::steal(estimate_or_none(std::move(result.second)));
        if (!estimate) return nullptr;
        return PyTuple_Pack(2, cloud.get(), estimate.get());
      });
  VELK_PY_GUARD_END(nullptr)
}

PyObject* handle_depth_camera_info(PyObject* self, PyObject* args, PyObject* kwargs) {
  BorrowGuard guard;
  PyObject* info = nullptr;
  if (!enter(self, args, kwargs, "O:handle_depth_camera_info", "info", &info, guard)) return nullptr;
  const velk_slam::CameraModel* model = camera_model_arg(info, "info");
  if (model == nullptr) return nullptr;
  VELK_PY_GUARD_BEGIN
  as_vo(self)->core->handle_depth_camera_info(*model);
  VELK_PY_GUARD_END(nullptr)
  Py_RETURN_NONE;
}

PyObject* report(PyObject* self, PyObject*) {
  if (!on_owner_thread(self)) return nullptr;
  BorrowGuard guard;
  if (!guard.acquire_shared(as_vo(self)->borrow, kTypeName)) return nullptr;
  VELK_PY_GUARD_BEGIN
  as_vo(self)->core->report();
  VELK_PY_GUARD_END(nullptr)
  Py_RETURN_NONE;
}

// The counters that report() logs, as a new dict.
PyObject* counters(PyObject* self, PyObject*) {
  if (!on_owner_thread(self)) return nullptr;
  BorrowGuard guard;
  if (!guard.acquire_shared(as_vo(self)->borrow, kTypeName)) return nullptr;
  return counters_to_dict(as_vo(self)->core->counters());
}

PyCFunction with_keywords(PyCFunctionWithKeywords f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef methods[] = {
    {"handle_camera_info", with_keywords(handle_camera_info), METH_VARARGS | METH_KEYWORDS,
     "handle_camera_info($self, info)\n--\n\n"},
    {"handle_imu_info", with_keywords(handle_imu_info), METH_VARARGS | METH_KEYWORDS,
     "handle_imu_info($self, info)\n--\n\n"},
    {"handle_imu", with_keywords(handle_imu), METH_VARARGS | METH_KEYWORDS, "handle_imu($self, imu)\n--\n\n"},
    {"handle_image", with_keywords(handle_image), METH_VARARGS | METH_KEYWORDS, "handle_image($self, image)\n--\n\n"},
    {"handle_depth_image", with_keywords(handle_depth_image), METH_VARARGS | METH_KEYWORDS,
     "handle_depth_image($self, image)\n--\n\n"},
    {"handle_depth_camera_info", with_keywords(handle_depth_camera_info), METH_VARARGS | METH_KEYWORDS,
     "handle_depth_camera_info($self, info)\n--\n\n"},
    {"report", report, METH_NOARGS,
     "report($self)\n--\n\n"
     "Log the engine's counters (frames tracked, poses, resets, gated poses and every kind of drop)\n"
     "as one info event through the log output of init_logging."},
    {"counters", counters, METH_NOARGS,
     "counters($self)\n--\n\n"
     "The engine's counters as a dict keyed by COUNTER_NAMES, in that order (the fields of the\n"
     "line report() logs)."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- type spec ----

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "CuvslamOdometry(config=None, *, tf)\n--\n\n"
                    "The cuVSLAM visual odometry front end. `config` mirrors the CuvslamOdometryConfig record\n"
                    "as a dict (absent keys take their defaults). `tf(target, source)` answers rigid-mount\n"
                    "lookups with the transform pair ((x, y, z), (x, y, z, w)) of source in target, or None\n"
                    "while it is not known yet.")},
    {Py_tp_new, reinterpret_cast<void*>(vo_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(vo_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(vo_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(vo_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(vo_finalize)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.CuvslamOdometry", sizeof(CuvslamOdometryObject), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};

PyTypeObject* g_cuvslam_odometry_type = nullptr;

}  // namespace

int add_cuvslam_odometry_type(PyObject* module) {
  if (add_type(module, &spec, kTypeName, &g_cuvslam_odometry_type) < 0 ||
      set_class_attribute(g_cuvslam_odometry_type, "CONFIG_KEYS", config_keys<cvo::CuvslamOdometryConfig>()) < 0 ||
      set_class_attribute(g_cuvslam_odometry_type, "CONFIG_DEFAULTS", config_defaults<cvo::CuvslamOdometryConfig>()) < 0) {
    return -1;
  }
  return set_class_attribute(g_cuvslam_odometry_type, "COUNTER_NAMES",
                             counter_names_to_tuple<velk_slam::cuvslam_odometry::Counters>());
}

}  // namespace velk_py
