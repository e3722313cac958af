// class PointCloud  (no constructor; instances come from CuvslamOdometry.handle_depth_image)
//     points: list[tuple[float, float, float]]  (read-only, a new list each read)
//     frame_id: str, timestamp_ns: int           (read-only)
//     points_bytes() -> bytes                    (x, y, z float32 triples, native byte order)
//     __array_interface__: dict                  (the same block without a copy: numpy.asarray(cloud))
//     len(cloud)
#include "convert.hpp"
#include "value_classes.hpp"

#include <bit>
#include <limits>

namespace velk_py {
namespace {

using velk_slam::PointCloud;

const PointCloud& rec(PyObject* self) { return record_of<PointCloud>(self); }

// ---- getters ----

PyObject* get_points(PyObject* self, void*) {
  const auto& points = rec(self).points;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(points.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < points.size(); ++i) {
    const auto& p = points[i];
    PyObject* tuple = Py_BuildValue("(ddd)", static_cast<double>(p[0]), static_cast<double>(p[1]),
                                    static_cast<double>(p[2]));
    if (tuple == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tuple);  // steals
  }
  return list.release();
}
// numpy's documented array interface over the stored points: an (n, 3) read-only float32 array whose
// base is this cloud, which keeps the block alive and never changes it.
PyObject* get_array_interface(PyObject* self, void*) {
  const auto& points = rec(self).points;
  static const float empty[3] = {};  // a valid address for a cloud without points
  const void* data = points.empty() ? static_cast<const void*>(empty) : static_cast<const void*>(points.data());
  const char* typestr = std::endian::native == std::endian::little ? "<f4" : ">f4";
  return Py_BuildValue("{s:(nn),s:s,s:(NO),s:i}", "shape", static_cast<Py_ssize_t>(points.size()),
                       static_cast<Py_ssize_t>(3), "typestr", typestr, "data",
                       PyLong_FromVoidPtr(const_cast<void*>(data)), Py_True, "version", 3);
}
PyObject* get_frame_id(PyObject* self, void*) { return string_to_py(rec(self).frame_id); }
PyObject* get_timestamp_ns(PyObject* self, void*) { return PyLong_FromLongLong(rec(self).timestamp_ns); }

PyGetSetDef getset[] = {
    {"points", guarded_getter<get_points>, nullptr, nullptr, nullptr},
    {"frame_id", get_frame_id, nullptr, nullptr, nullptr},
    {"timestamp_ns", get_timestamp_ns, nullptr, nullptr, nullptr},
    {"__array_interface__", get_array_interface, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- methods ----

PyObject* points_bytes(PyObject* self, PyObject*) {
  const auto& points = rec(self).points;
  static_assert(sizeof(points[0]) == 3 * sizeof(float), "points are stored as packed float triples");
  const uint64_t size = static_cast<uint64_t>(points.size()) * sizeof(points[0]);
  if (size > static_cast<uint64_t>(std::numeric_limits<Py_ssize_t>::max())) return PyErr_NoMemory();
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(points.data()), static_cast<Py_ssize_t>(size));
}

PyMethodDef methods[] = {
    {"points_bytes", points_bytes, METH_NOARGS,
     "points_bytes($self)\n--\n\n"
     "The points as one bytes block of float32 x, y, z triples in native byte order (12 bytes a point),\n"
     "for example numpy.frombuffer(cloud.points_bytes(), numpy.float32).reshape(-1, 3)."},
    {nullptr, nullptr, 0, nullptr},
};

Py_ssize_t point_cloud_len(PyObject* self) { return static_cast<Py_ssize_t>(rec(self).points.size()); }

// ---- type spec ----

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Range-gated depth points in the depth sensor's own frame.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record_object<PointCloud>)},
    {Py_tp_getset, getset},
    {Py_tp_methods, methods},
    {Py_sq_length, reinterpret_cast<void*>(point_cloud_len)},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.PointCloud", sizeof(RecordObject<PointCloud>), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};

}  // namespace

int add_point_cloud_type(PyObject* module) { return add_type(module, &spec, "PointCloud", &g_point_cloud_type); }

}  // namespace velk_py
