// init_logging(level="info", writer=None) -> None
//
// Installs the process-wide log subscriber: the engines' enabled events become one line each, written to
// stderr, or handed to `writer` when one is given. init_logging(writer) is init_logging("info", writer).
#include "convert.hpp"
#include "module.hpp"

#include "log.hpp"

#include <atomic>
#include <cstdlib>

namespace velk_py {
namespace {

// Lines a writer could not take because it raised; only the first is reported.
std::atomic<uint64_t> g_writer_failures{0};

// Set while this thread runs the writer: a line logged from inside it (the writer called into an engine)
// is dropped instead of calling the writer again without end.
thread_local bool t_in_writer = false;

// Hands one line to the Python writer. Engines log on the thread that called them, which holds the
// interpreter lock; PyGILState_Ensure also serves a thread that does not. An exception pending in the
// engine's caller is set aside for the call and restored after it, so the writer neither sees nor
// clears it. An exception raised by the writer never reaches the engine: the line is dropped, the first
// such exception goes to sys.unraisablehook and later ones are only counted.
void write_to_python(PyObject* writer, std::string_view line) {
  if (t_in_writer || !Py_IsInitialized()) return;
  t_in_writer = true;
  const PyGILState_STATE gil = PyGILState_Ensure();
  PyObject* pending_type = nullptr;
  PyObject* pending_value = nullptr;
  PyObject* pending_traceback = nullptr;
  PyErr_Fetch(&pending_type, &pending_value, &pending_traceback);
  // Field values may carry bytes from outside that are not UTF-8; they reach Python as U+FFFD.
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "replace"));
  PyRef result = PyRef::steal(text ? PyObject_CallFunctionObjArgs(writer, text.get(), nullptr) : nullptr);
  if (!result) {
    if (g_writer_failures.fetch_add(1, std::memory_order_relaxed) == 0) {
      PyErr_WriteUnraisable(writer);
    } else {
      PyErr_Clear();
    }
  }
  PyErr_Restore(pending_type, pending_value, pending_traceback);
  PyGILState_Release(gil);
  t_in_writer = false;
}

PyObject* py_init_logging(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"level", "writer", nullptr};
  PyObject* level_obj = nullptr;
  PyObject* writer = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:init_logging", const_cast<char**>(kwlist), &level_obj,
                                   &writer)) {
    return nullptr;
  }
  if (level_obj != nullptr && writer == Py_None && !PyUnicode_Check(level_obj) && PyCallable_Check(level_obj)) {
    writer = level_obj;  // init_logging(writer)
    level_obj = nullptr;
  }
  std::string level = "info";
  if (level_obj != nullptr && !arg_string(level_obj, "level", &level)) return nullptr;
  if (writer != Py_None && !PyCallable_Check(writer)) {
    PyErr_Format(PyExc_TypeError, "argument 'writer': expected a callable or None, got %s", type_name(writer).c_str());
    return nullptr;
  }
  VELK_PY_GUARD_BEGIN
  std::string reason;
  auto filter = velk_slam::log::parse_filter(level, &reason);
  if (!filter) {
    PyErr_Format(PyExc_ValueError, "level: %s", reason.c_str());
    return nullptr;
  }
  std::string error;
  bool installed = false;
  if (writer == Py_None) {
    const char* no_color = std::getenv("NO_COLOR");
    const bool color = no_color == nullptr || no_color[0] == '\0';
    installed = velk_slam::log::install(std::move(*filter), color, nullptr, &error);
  } else {
    // Owned by the subscriber, which is never removed: the reference lives to the end of the process.
    Py_INCREF(writer);
    installed = velk_slam::log::install(
        std::move(*filter), false, [writer](std::string_view line) { write_to_python(writer, line); }, &error);
    if (!installed) Py_DECREF(writer);
  }
  if (!installed) {
    PyErr_SetString(PyExc_ValueError, error.c_str());
    return nullptr;
  }
  Py_RETURN_NONE;
  VELK_PY_GUARD_END(nullptr)
}

PyMethodDef init_logging_def = {
    "init_logging", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_init_logging)),
    METH_VARARGS | METH_KEYWORDS,
    "init_logging(level=\"info\", writer=None)\n--\n\n"
    "Send the engines' diagnostic output to stderr. `level` is a filter such as \"info\",\n"
    "\"debug\" or \"velk_slam=debug\". Without this call the engines are silent.\n\n"
    "With `writer`, a callable, each line (a str ending in a newline, without colour codes) is\n"
    "passed to writer(line) instead of being written to stderr; init_logging(writer) keeps the\n"
    "level \"info\". A line the writer logs itself, by calling an engine, is dropped. An exception\n"
    "raised by the writer drops that line and never reaches the engine: the first one is reported\n"
    "through sys.unraisablehook, later ones are dropped silently."};

}  // namespace

int add_init_logging(PyObject* module) {
  PyRef name = PyRef::steal(PyUnicode_FromString("velk_odom._native"));
  if (!name) return -1;
  PyRef fn = PyRef::steal(PyCFunction_NewEx(&init_logging_def, nullptr, name.get()));
  if (!fn) return -1;
  return PyModule_AddObjectRef(module, "init_logging", fn.get());
}

}  // namespace velk_py
