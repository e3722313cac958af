// Load-time preparation of the environment for the tracking library's GPU backend on Apple-silicon
// builds: the library reads CUMETAL_USE_METAL_DEVICE_ADDRESSES when its first tracker is created, so it
// must be set before any Python code of the module runs. A value the process already has is kept.
// The build links this object into every module and executable that links the tracker binding.
#include <cstdlib>

namespace {
[[gnu::constructor]] void require_metal_device_addresses() {
  setenv("CUMETAL_USE_METAL_DEVICE_ADDRESSES", "1", /*overwrite=*/0);
}
}  // namespace
