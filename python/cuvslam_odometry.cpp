// class CuvslamOdometry(config=None, *, tf): registered by the visual odometry engine's binding (not built yet).
#include "module.hpp"

namespace velk_py {

int add_cuvslam_odometry_type(PyObject*) { return 0; }

}  // namespace velk_py
