// Telemetry through stand-in NVML libraries: readings per PCI bus id, missing functions and
// error returns left at 0, and the heartbeat carrying them for the right devices.

#include "telemetry/nvml_telemetry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/stats.h"

namespace {

const char* const kBus1 = "0000:01:00.0";
const char* const kBus2 = "0000:02:00.0";

std::vector<int> fields(const GpuTelemetry& t) {
    return {t.temp_c, t.power_w, t.fan_pct, t.util_pct, t.mem_used_mb, t.mem_total_mb};
}

TEST(NvmlTelemetry, ReadingsPerBusIdAndZerosForWhatIsMissing) {
    const std::vector<int> zeros(6, 0);
    struct Case {
        const char* library;
        bool opens;
        std::vector<int> bus1;
        std::vector<int> bus2;
    };
    const Case cases[] = {
        {NVML_FULL, true, {61, 151, 41, 97, 1536, 8192}, {72, 221, 55, 88, 3072, 16384}},
        {NVML_OMIT_FAN, true, {61, 151, 0, 97, 1536, 8192}, {72, 221, 0, 88, 3072, 16384}},
        {NVML_ERRORS, true, zeros, zeros},
        {NVML_OMIT_LOOKUP, false, zeros, zeros},
        {"/nonexistent/libnvidia-ml.so.1", false, zeros, zeros},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.library);
        Nvml nvml;
        std::string error;
        EXPECT_EQ(nvml.open(c.library, error), c.opens);
        EXPECT_EQ(error.empty(), c.opens) << error;
        EXPECT_EQ(fields(nvml.read(kBus1)), c.bus1);
        EXPECT_EQ(fields(nvml.read(kBus2)), c.bus2);
        EXPECT_EQ(fields(nvml.read("0000:03:00.0")), zeros);
        EXPECT_EQ(fields(nvml.read("")), zeros);
    }
}

TEST(NvmlTelemetry, LibraryComesFromTheEnvironment) {
    unsetenv("DREVIK_NVML_LIBRARY");  // NOLINT(concurrency-mt-unsafe): no other thread runs
    EXPECT_EQ(nvml_library_path(), "libnvidia-ml.so.1");
    setenv("DREVIK_NVML_LIBRARY", NVML_FULL, 1);  // NOLINT(concurrency-mt-unsafe): no other thread runs
    EXPECT_EQ(nvml_library_path(), NVML_FULL);
    unsetenv("DREVIK_NVML_LIBRARY");  // NOLINT(concurrency-mt-unsafe): no other thread runs
}

// Slots listed as "--gpus 1,0": each heartbeat object carries its own device's readings.
TEST(NvmlTelemetry, HeartbeatCarriesEachDevicesReadings) {
    Nvml nvml;
    std::string error;
    ASSERT_TRUE(nvml.open(NVML_FULL, error)) << error;
    std::vector<GpuSlot> slots(2);
    slots[0].device = 1;
    slots[0].info.name = "B";
    slots[0].info.pci_bus_id = kBus2;
    slots[1].device = 0;
    slots[1].info.name = "A";
    slots[1].info.pci_bus_id = kBus1;
    MinerSettings settings;
    settings.client_id = "rig";
    EXPECT_EQ(heartbeat_text(settings, gpu_rates(slots, nvml), {1, 0, 0, 0}),
              R"({"client_id":"rig","found_session":0,"gpus":[)"
              R"({"fan_pct":55,"hw_errors":0,"index":1,"mem_total_mb":16384,"mem_used_mb":3072,"name":"B",)"
              R"("power_w":221,"state":"idle","temp_c":72,"util_pct":88},)"
              R"({"fan_pct":41,"hw_errors":0,"index":0,"mem_total_mb":8192,"mem_used_mb":1536,"name":"A",)"
              R"("power_w":151,"state":"idle","temp_c":61,"util_pct":97}],)"
              R"("hashrate_mhs":0.0,"hostname":"rig","jobs_received":0,"shares_session":0,"uptime_seconds":1,)"
              R"("version":"3.0.0","wallet":""})");
    EXPECT_EQ(gpu_row(gpu_rates(slots, nvml)[0]), "  GPU 1: B | 0.0 MH/s | 72C 221W | hw_errors=0 | idle");
}

}  // namespace
