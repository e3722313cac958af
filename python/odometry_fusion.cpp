// class OdometryFusion(config=None): registered by the fusion engine's binding (not built yet).
#include "module.hpp"

namespace velk_py {

int add_odometry_fusion_type(PyObject*) { return 0; }

}  // namespace velk_py
