#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Ordinals of every device the runtime enumerates with compute capability 3.0 or newer,
// ascending. Empty when the runtime reports no device or fails.
std::vector<int32_t> list_usable_devices();

// One enumerated device as an operator identifies it.
struct DeviceDescription {
    int32_t ordinal = 0;
    std::string name;
    int32_t major = 0;
    int32_t minor = 0;
    int32_t sm_count = 0;
    uint64_t memory_bytes = 0;
    std::string pci_bus_id;  // domain:bus:device.function, empty when the runtime cannot tell
};

struct DeviceList {
    std::vector<DeviceDescription> devices;
    std::string error;  // the runtime's text when it could not count the devices
};

// Every device the runtime enumerates, usable or not, in ordinal order.
DeviceList describe_devices();

// The device back-end this program was built for: "cuda" or "host".
const char* device_backend_name();
