#pragma once

// Sets CUMETAL_USE_METAL_DEVICE_ADDRESSES to "1" unless the process already has it. Runs once by itself
// when the shared library that links this file is loaded; calling it again changes nothing.
extern "C" void cuvslam_require_metal_device_addresses(void);
