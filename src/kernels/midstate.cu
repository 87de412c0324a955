#include "kernels/kernels.h"
#include "kernels/sha256_constants.h"
#include "kernels/sha256_device.h"

using namespace sha256_device;

namespace {

// One SHA-256 compression of the 64-byte block into state.
__device__ void sha256_transform(uint32_t (&state)[8], const uint8_t* block) {
    uint32_t w[16];
    unrolled<16>([&](auto k) {
        constexpr int i = decltype(k)::value;
        w[i] = (uint32_t{block[4 * i]} << 24) | (uint32_t{block[4 * i + 1]} << 16) |
               (uint32_t{block[4 * i + 2]} << 8) | uint32_t{block[4 * i + 3]};
    });
    uint32_t s[8];
    unrolled<8>([&](auto k) { s[decltype(k)::value] = state[decltype(k)::value]; });
    rounds_to_end<0, 16>(s, w);
    unrolled<8>([&](auto k) { state[decltype(k)::value] += s[decltype(k)::value]; });
}

}  // namespace

__global__ void kernel_midstate(const uint8_t* data, int nblocks, uint32_t* out) {
    uint32_t state[8] = {SHA256_INITIAL_STATE};
    for (int b = 0; b < nblocks; ++b) sha256_transform(state, data + 64 * b);
    for (int k = 0; k < 8; ++k) out[k] = state[k];
}
