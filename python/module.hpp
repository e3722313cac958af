// Module-wide pieces shared by the extension's files.
#pragma once

#include "py_ref.hpp"

#include <exception>

namespace velk_py {

// The exception class derived from BaseException (not Exception) that the engine classes raise for a
// configuration refused at first use and for a call from a thread other than the creator. Exposed as
// `velk_odom.PanicException`. Valid once the module is initialised.
PyObject* panic_exception();

// Sets a Python exception for a C++ exception caught at the boundary: the engines' broken invariants
// become PanicException with the exception's text. Returns nullptr for use in `return` statements.
PyObject* set_error_from_current_exception();

// Registration of the engine classes and of init_logging; -1 with an exception set on failure.
int add_cuvslam_odometry_type(PyObject* module);
int add_odometry_fusion_type(PyObject* module);
int add_init_logging(PyObject* module);

}  // namespace velk_py

// Catches every C++ exception of an entry point's body and turns it into a Python exception.
#define VELK_PY_GUARD_BEGIN try {
#define VELK_PY_GUARD_END(failure)               \
  }                                              \
  catch (...) {                                  \
    ::velk_py::set_error_from_current_exception(); \
    return failure;                              \
  }
