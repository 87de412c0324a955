#pragma once
// The commands that answer and exit instead of mining: --version and --list-devices.

#include <string>
#include <vector>

#include "gpu_miner/devices.h"

// "drevik-miner 3.2.1" and the device back-end, one line each.
std::string version_text();

// One line per device: ordinal, name, compute capability, SMs, memory, PCI bus id.
std::string device_list_text(const std::vector<DeviceDescription>& devices);

// Print on standard output and return the exit status (0).
int print_version();
int print_device_list();
