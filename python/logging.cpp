// init_logging(level="info") -> None
#include "convert.hpp"
#include "module.hpp"

#include "log.hpp"

#include <cstdlib>

namespace velk_py {
namespace {

PyObject* py_init_logging(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"level", nullptr};
  PyObject* level_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:init_logging", const_cast<char**>(kwlist), &level_obj)) {
    return nullptr;
  }
  std::string level = "info";
  if (level_obj != nullptr && !arg_string(level_obj, "level", &level)) return nullptr;
  VELK_PY_GUARD_BEGIN
  std::string reason;
  auto filter = velk_slam::log::parse_filter(level, &reason);
  if (!filter) {
    PyErr_Format(PyExc_ValueError, "level: %s", reason.c_str());
    return nullptr;
  }
  const char* no_color = std::getenv("NO_COLOR");
  const bool color = no_color == nullptr || no_color[0] == '\0';
  std::string error;
  if (!velk_slam::log::install(std::move(*filter), color, nullptr, &error)) {
    PyErr_SetString(PyExc_ValueError, error.c_str());
    return nullptr;
  }
  Py_RETURN_NONE;
  VELK_PY_GUARD_END(nullptr)
}

PyMethodDef init_logging_def = {
    "init_logging", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_init_logging)),
    METH_VARARGS | METH_KEYWORDS,
    "init_logging(level=\"info\")\n--\n\n"
    "Send the engines' diagnostic output to stderr. `level` is a filter such as \"info\",\n"
    "\"debug\" or \"velk_slam=debug\". Without this call the engines are silent."};

}  // namespace

int add_init_logging(PyObject* module) {
  PyRef name = PyRef::steal(PyUnicode_FromString("velk_odom._native"));
  if (!name) return -1;
  PyRef fn = PyRef::steal(PyCFunction_NewEx(&init_logging_def, nullptr, name.get()));
  if (!fn) return -1;
  return PyModule_AddObjectRef(module, "init_logging", fn.get());
}

}  // namespace velk_py
