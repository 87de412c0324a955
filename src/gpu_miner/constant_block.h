#pragma once
// The host image of the constant block C: what the host works out once per search, window
// and launch, so that the kernels redo only what depends on the nonce digits that change.

#include <array>
#include <cstddef>
#include <cstdint>

#include "gpu_miner/preimage.h"
#include "kernels/constant_layout.h"
#include "kernels/sha256.h"

using ConstantImage = std::array<uint32_t, constant_word::count>;
using Sha256State = std::array<uint32_t, 8>;

// The prefix bytes hashed into the midstate: its whole SHA-256 blocks.
inline constexpr size_t kMidstateBytes = kPrefixLength / sha256::kBlockBytes * sha256::kBlockBytes;

void set_targets(ConstantImage& image, const Target& block, const Target& share);
// Per window: the midstate, the words of the prefix's 14-byte tail (bytes 128-141) and what
// follows from them; also the multipliers the kernels add and shift with.
void set_window(ConstantImage& image, const Sha256State& midstate, const uint8_t* tail);
// Per kernel_mine_precomp launch: nonce digits 0-5 of `start_nonce` folded into W3, W4,
// W18, W19, the W33 and W34 parts and the state after rounds 0-4.
void set_launch_digits(ConstantImage& image, uint64_t start_nonce);
// True when all nonces of the launch share bits 63-40, so kernel_mine_precomp may run it.
bool launch_uses_precomp(uint64_t start_nonce, uint64_t hashes_per_launch);
// For timing launches: the initial hash value in all three state slots, zero targets, the multipliers.
ConstantImage tuning_image();
