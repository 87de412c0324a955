#include "app/operator_commands.h"

#include <cstdio>
#include <exception>

#include "common/console.h"

namespace {

void write_standard_output(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

std::string version_text() {
    return std::string("drevik-miner ") + DREVIK_VERSION + "\ndevice back-end: " + device_backend_name() + "\n";
}

std::string device_list_text(const std::vector<DeviceDescription>& devices) {
    std::string text;
    for (const DeviceDescription& d : devices) {
        char line[512];
        std::snprintf(line, sizeof line, "GPU %d: %s | compute %d.%d | %d SMs | %llu MiB | PCI %s\n", d.ordinal,
                      d.name.c_str(), d.major, d.minor, d.sm_count,
                      static_cast<unsigned long long>(d.memory_bytes >> 20),
                      d.pci_bus_id.empty() ? "unknown" : d.pci_bus_id.c_str());
        text += line;
    }
    return text;
}

std::string self_test_line(int32_t device, const SelfTestResult& result) {
    char line[512];
    if (result.passed) {
        std::snprintf(line, sizeof line, "GPU %d: passed (%.1f ms)\n", device, result.milliseconds);
    } else {
        std::snprintf(line, sizeof line, "GPU %d: failed: %s\n", device, result.failure.c_str());
    }
    return line;
}

int print_version() {
    write_standard_output(version_text());
    return 0;
}

int print_device_list() {
    const DeviceList list = describe_devices();
    write_standard_output(device_list_text(list.devices));
    // No device is an answer, not a failure; the note goes beside the list, not into it.
    if (list.devices.empty()) {
        console_print("No CUDA devices found%s%s\n", list.error.empty() ? "" : ": ", list.error.c_str());
    }
    return 0;
}

int print_self_tests(const std::vector<int32_t>& devices, HealthLog log) {
    int status = 0;
    for (const int32_t device : devices) {
        SelfTestResult result;
        try {
            GpuMiner engine;
            engine.set_health_log(log);
            engine.set_up(device);
            result = engine.self_test();
        } catch (const std::exception& error) {
            result.failure = std::string("set-up: ") + error.what();
        }
        write_standard_output(self_test_line(device, result));
        if (!result.passed) status = 1;
    }
    return status;
}
