// PyTf: the transform lookup that CuvslamOdometry hands its engine for one call, answered by the host's
// `tf(target, source)` callable.
//
// A lookup never raises into the engine. The first Python error of the call (the callable raised, or
// returned something that is not a transform pair) is held and later ones are discarded; the lookup
// answers none. After the engine returns, the method raises the held error instead of its result.
#pragma once

#include "py_ref.hpp"

#include "types.hpp"

namespace velk_py {

class PyTf final : public velk_slam::TfLookup {
 public:
  // Takes its own reference to `tf` for the call, so that clearing the owner's reference meanwhile (the
  // cycle collector, say) cannot free the callable under a lookup. `tf` may be null: every lookup then
  // answers none.
  explicit PyTf(PyObject* tf) : tf_(PyRef::borrow(tf)) {}

  // Calls tf(target, source). None answers none; a transform pair answers its Isometry (quaternion
  // normalised); anything else, or an exception, answers none and is held under the first-error rule.
  std::optional<velk_slam::Isometry> latest(std::string_view target_frame, std::string_view source_frame) override;

  bool has_pending_error() const { return static_cast<bool>(type_); }

  // When an error is held, sets it as the current Python exception and returns true.
  bool raise_pending();

 private:
  // Moves the current Python exception into the slot if the slot is empty; otherwise drops it.
  void hold_current_error();

  PyRef tf_;
  PyRef type_;
  PyRef value_;
  PyRef traceback_;
};

}  // namespace velk_py
