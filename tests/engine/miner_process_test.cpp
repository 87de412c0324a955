#include <gtest/gtest.h>

#include "process.h"

namespace {

TEST(MinerProcess, NoDeviceWithoutGpuListIsAStartUpError) {
    const ProcessResult result = run_process(DREVIK_MINER_PATH, {}, {"DREVIK_HOST_DEVICES=0"});
    EXPECT_EQ(result.standard_error, "ERROR: No usable CUDA GPUs found\n");
    EXPECT_EQ(result.exit_status, 1);
}

}  // namespace
