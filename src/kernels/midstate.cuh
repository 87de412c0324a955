#pragma once
// The midstate kernel: the chaining value after the prefix's full blocks, once per window.
// It runs before the window's constant block is uploaded, so it computes with plain
// additions and shifts (the search kernels' arithmetic reads C's multipliers).

#include "kernels/sha256.h"

__global__ void kernel_midstate(const uint8_t* data, int nblocks, uint32_t* out) {
    uint32_t state[8];
    sha256::set_initial_state(state);
    for (int b = 0; b < nblocks; ++b) sha256::compress(state, data + sha256::kBlockBytes * b);
    for (int k = 0; k < 8; ++k) out[k] = state[k];
}
