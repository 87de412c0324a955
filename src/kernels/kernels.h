#pragma once
// The device interface: the search kernels, the midstate kernel and the upload of the
// constant block.

#include <cuda_runtime.h>

#include <cstdint>

#include "kernels/constant_layout.h"
#include "kernels/launch_shape.h"

// The values of a search launch's stop word (stop_flag), which the kernels read once per run
// of 256 nonces: a thread that finds it other than 0 ends. A block find writes kStopFound, so
// that the launch's other threads end too; the host writes kStopAborted by a copy that lands
// while the launch runs. The host clears it before every launch.
constexpr int kStopFound = 1;
constexpr int kStopAborted = 2;

// Copies constant_word::count host-order words into the constant block C of the current
// device. C itself is private to the device code's translation unit.
cudaError_t copy_to_constant_block(const uint32_t* words);

// Writes the chaining value after `nblocks` 64-byte blocks of `data` (the initial value for
// nblocks below 1). One block of one thread.
__global__ void kernel_midstate(const uint8_t* data, int nblocks, uint32_t* out);

// A launch tests the nonces start_nonce .. start_nonce + grid size * loops - 1, each once:
// thread t takes the `loops` consecutive nonces from start_nonce + t * loops, unless the stop
// word ends it early. A block find takes found_flag from 0 to 1 and fills found_nonce/found_hash,
// whatever the stop word says: only a find writes found_flag. The first share find takes
// share_flag likewise. Digests are written in standard SHA-256 byte order.
// kernel_mine_precomp needs all nonces of the launch to share bits 63-40 (C's W3, W4, W18,
// W19 and state after rounds 0-4 hold them); kernel_mine_fallback takes any range.
__global__ void __launch_bounds__(kThreadsPerBlock, kMinBlocksPerSm)
    kernel_mine_precomp(uint64_t start_nonce, uint64_t* found_nonce, uint8_t* found_hash, int* found_flag,
                        uint64_t* share_nonce, uint8_t* share_hash, int* share_flag, int* stop_flag, int loops);
__global__ void __launch_bounds__(kThreadsPerBlock, kMinBlocksPerSm)
    kernel_mine_fallback(uint64_t start_nonce, uint64_t* found_nonce, uint8_t* found_hash, int* found_flag,
                         uint64_t* share_nonce, uint8_t* share_hash, int* share_flag, int* stop_flag, int loops);
