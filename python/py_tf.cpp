#include "py_tf.hpp"

#include "convert.hpp"

namespace velk_py {

namespace {

PyRef frame_to_py(std::string_view frame) {
  return PyRef::steal(PyUnicode_FromStringAndSize(frame.data(), static_cast<Py_ssize_t>(frame.size())));
}

}  // namespace

void PyTf::hold_current_error() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyRef t = PyRef::steal(type);
  PyRef v = PyRef::steal(value);
  PyRef tb = PyRef::steal(traceback);
  if (!type_) {
    type_ = std::move(t);
    value_ = std::move(v);
    traceback_ = std::move(tb);
  }
}

std::optional<velk_slam::Isometry> PyTf::latest(std::string_view target_frame, std::string_view source_frame) {
  if (!tf_) {
    return std::nullopt;
  }
  PyRef target = frame_to_py(target_frame);
  PyRef source = target ? frame_to_py(source_frame) : PyRef();
  if (!target || !source) {
    hold_current_error();
    return std::nullopt;
  }
  PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(tf_.get(), target.get(), source.get(), nullptr));
  if (!result) {
    hold_current_error();
    return std::nullopt;
  }
  if (result.get() == Py_None) {
    return std::nullopt;
  }
  velk_slam::Isometry transform;
  if (!arg_transform_pair(result.get(), "tf", &transform)) {
    hold_current_error();
    return std::nullopt;
  }
  return transform;
}

bool PyTf::raise_pending() {
  if (!type_) {
    return false;
  }
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
  return true;
}

}  // namespace velk_py
