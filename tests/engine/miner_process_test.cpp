#include <gtest/gtest.h>

#include <regex>

#include "process.h"

namespace {

TEST(MinerProcess, NoDeviceWithoutGpuListIsAStartUpError) {
    const ProcessResult result = run_process(DREVIK_MINER_PATH, {}, {"DREVIK_HOST_DEVICES=0"});
    EXPECT_EQ(result.standard_error, "ERROR: No usable CUDA GPUs found\n");
    EXPECT_EQ(result.exit_status, 1);
}

// --self-test: one line per selected device on standard output, status 0 only when all pass.
TEST(MinerProcess, SelfTestCommandAnswersForEachDevice) {
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> environment;
        int exit_status;
        const char* output;  // a regular expression
    } cases[] = {
        {{"--self-test"}, {"DREVIK_HOST_DEVICES=1"}, 0, R"(GPU 0: passed \(\d+\.\d ms\)\n)"},
        {{"--self-test", "--gpus", "1,0"},
         {"DREVIK_HOST_DEVICES=2"},
         0,
         R"(GPU 1: passed \(\d+\.\d ms\)\nGPU 0: passed \(\d+\.\d ms\)\n)"},
        {{"--self-test"},
         {"DREVIK_HOST_DEVICES=3", "DREVIK_HOST_FAULT=miss:1:1,corrupt:2:1"},
         1,
         R"(GPU 0: passed \(\d+\.\d ms\)\n)"
         R"(GPU 1: failed: self-test: precomp kernel missed block nonce 3a7fc2e19b18f877\n)"
         R"(GPU 2: failed: self-test: precomp kernel reported block nonce 3a7fc2e19b18f876, not 3a7fc2e19b18f877\n)"},
        {{"--gpus", "7,0", "--self-test"},
         {"DREVIK_HOST_DEVICES=1"},
         1,
         R"(GPU 7: failed: set-up: invalid device ordinal\nGPU 0: passed \(\d+\.\d ms\)\n)"},
        {{"--self-test"}, {"DREVIK_HOST_DEVICES=0"}, 1, ""},
    };
    for (const auto& c : cases) {
        const ProcessResult result = run_process(DREVIK_MINER_PATH, c.args, c.environment);
        SCOPED_TRACE(c.environment.back());
        EXPECT_EQ(result.exit_status, c.exit_status) << result.standard_error;
        EXPECT_TRUE(std::regex_match(result.standard_output, std::regex(c.output))) << result.standard_output;
    }
}

}  // namespace
