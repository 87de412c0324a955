// The main of the tests that run kernels: on a machine where the runtime presents no device
// (a cuda build without a GPU or driver), every test is skipped with exit status 77, which
// ctest reports as skipped, rather than failed or passed.

#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Listing the tests (ctest's discovery at build time) needs no device.
    if (!GTEST_FLAG_GET(list_tests)) {
        int count = 0;
        const cudaError_t status = cudaGetDeviceCount(&count);
        if (status != cudaSuccess || count == 0) {
            std::printf("No CUDA device (%s): skipped\n",
                        status != cudaSuccess ? cudaGetErrorString(status) : "the runtime presents none");
            return 77;
        }
    }
    return RUN_ALL_TESTS();
}
