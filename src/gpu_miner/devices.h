#pragma once

#include <cstdint>
#include <vector>

// Ordinals of every device the runtime enumerates with compute capability 3.0 or newer,
// ascending. Empty when the runtime reports no device or fails.
std::vector<int32_t> list_usable_devices();
