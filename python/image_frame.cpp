// class ImageFrame(timestamp_ns, frame_id, width, height, encoding, step, data)
//     frame_id: str      (read-only)
//     timestamp_ns: int  (read-only)
#include "convert.hpp"
#include "value_classes.hpp"

namespace velk_py {
namespace {

using velk_slam::ImageFrame;

// ---- construction ----

PyObject* image_frame_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"timestamp_ns", "frame_id", "width", "height", "encoding", "step", "data", nullptr};
  PyObject *stamp, *frame_id, *width, *height, *encoding, *step, *data;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOO:ImageFrame", const_cast<char**>(kwlist), &stamp,
                                   &frame_id, &width, &height, &encoding, &step, &data)) {
    return nullptr;
  }
  ImageFrame record;
  if (!arg_int64(stamp, "timestamp_ns", &record.timestamp_ns) || !arg_string(frame_id, "frame_id", &record.frame_id) ||
      !arg_int32(width, "width", &record.width) || !arg_int32(height, "height", &record.height) ||
      !arg_string(encoding, "encoding", &record.encoding) || !arg_int32(step, "step", &record.step) ||
      !arg_byte_buffer(data, "data", &record.data)) {
    return nullptr;
  }
  return new_record_object(type, std::move(record));
}

// ---- getters ----

PyObject* get_frame_id(PyObject* self, void*) { return string_to_py(record_of<ImageFrame>(self).frame_id); }
PyObject* get_timestamp_ns(PyObject* self, void*) {
  return PyLong_FromLongLong(record_of<ImageFrame>(self).timestamp_ns);
}

PyGetSetDef getset[] = {
    {"frame_id", get_frame_id, nullptr, nullptr, nullptr},
    {"timestamp_ns", get_timestamp_ns, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- type spec ----

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "ImageFrame(timestamp_ns, frame_id, width, height, encoding, step, data)\n--\n\n"
                    "A camera or depth image. `encoding` uses ROS names; anything but `mono8` is fed\n"
                    "to cuVSLAM as three-channel colour. `step` is bytes per row.")},
    {Py_tp_new, reinterpret_cast<void*>(guarded_new<image_frame_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record_object<ImageFrame>)},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.ImageFrame", sizeof(RecordObject<ImageFrame>), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

int add_image_frame_type(PyObject* module) { return add_type(module, &spec, "ImageFrame", &g_image_frame_type); }

}  // namespace velk_py
