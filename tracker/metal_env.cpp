// Load-time preparation of the environment for the tracking library's GPU backend on Apple-silicon
// builds: the library reads CUMETAL_USE_METAL_DEVICE_ADDRESSES when its first tracker is created, so it
// must be set before any Python code of the module runs. A value the process already has is kept.
#include "metal_env.h"

#include <cstdlib>

extern "C" void cuvslam_require_metal_device_addresses(void) {
  setenv("CUMETAL_USE_METAL_DEVICE_ADDRESSES", "1", /*overwrite=*/0);
}

namespace {
[[gnu::constructor]] void run_at_load() { cuvslam_require_metal_device_addresses(); }
}  // namespace
