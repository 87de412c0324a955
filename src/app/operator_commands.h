#pragma once
// The commands that answer and exit instead of mining: --version, --list-devices and --self-test.

#include <string>
#include <vector>

#include "gpu_miner/devices.h"
#include "gpu_miner/gpu_miner.h"

// "drevik-miner 3.2.1" and the device back-end, one line each.
std::string version_text();

// One line per device: ordinal, name, compute capability, SMs, memory, PCI bus id.
std::string device_list_text(const std::vector<DeviceDescription>& devices);

// The self-test's answer for one device: "GPU 0: passed (3.1 ms)" or "GPU 1: failed: REASON".
std::string self_test_line(int32_t device, const SelfTestResult& result);

// Print on standard output and return the exit status (0).
int print_version();
int print_device_list();
// Sets up and self-tests each device in turn (no tuning), one line each; the engine's own
// lines go to `log`. Exit status 0 when every device passed, else 1.
int print_self_tests(const std::vector<int32_t>& devices, HealthLog log);
