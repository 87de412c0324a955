#pragma once
// The midstate kernel: the chaining value after the prefix's full blocks, once per window.
// It runs before the window's constant block is uploaded, so it adds with plain additions
// (sha256_device::add would read C's multiplier).

#include <cstddef>

#include "kernels/sha256_constants.h"
#include "kernels/sha256_device.h"

namespace midstate_detail {

using namespace sha256_device;

template <int Round>
__device__ __forceinline__ void plain_round(uint32_t (&s)[8], uint32_t w) {
    const uint32_t t1 = var<Round>(s, 7) + big_sigma1(var<Round>(s, 4)) +
                        choose(var<Round>(s, 4), var<Round>(s, 5), var<Round>(s, 6)) + kRoundConstants[Round] + w;
    var<Round>(s, 3) += t1;
    var<Round>(s, 7) =
        t1 + big_sigma0(var<Round>(s, 0)) + majority(var<Round>(s, 0), var<Round>(s, 1), var<Round>(s, 2));
}

// One SHA-256 compression of the 64-byte block into state.
__device__ __forceinline__ void sha256_transform(uint32_t (&state)[8], const uint8_t* block) {
    uint32_t w[64];
    uint32_t s[8];
    unrolled<8>([&](auto k) { s[decltype(k)::value] = state[decltype(k)::value]; });
    unrolled<64>([&](auto k) {
        constexpr int r = decltype(k)::value;
        if constexpr (r < 16) {
            constexpr size_t i = size_t{4} * r;
            w[r] = (uint32_t{block[i]} << 24) | (uint32_t{block[i + 1]} << 16) | (uint32_t{block[i + 2]} << 8) |
                   uint32_t{block[i + 3]};
        } else {
            w[r] = small_sigma1(w[r - 2]) + w[r - 7] + small_sigma0(w[r - 15]) + w[r - 16];
        }
        plain_round<r>(s, w[r]);
    });
    unrolled<8>([&](auto k) { state[decltype(k)::value] += s[decltype(k)::value]; });
}

}  // namespace midstate_detail

__global__ void kernel_midstate(const uint8_t* data, int nblocks, uint32_t* out) {
    uint32_t state[8] = {SHA256_INITIAL_STATE};
    for (int b = 0; b < nblocks; ++b) midstate_detail::sha256_transform(state, data + ptrdiff_t{64} * b);
    for (int k = 0; k < 8; ++k) out[k] = state[k];
}
