#pragma once
// The known-answer self-test: each search kernel searches a fixed pre-image over a nonce range
// whose smallest digest is known, with one target at that digest and the other at zero, so
// that exactly the known nonce passes. A device whose kernels were miscompiled, or whose
// clock or driver went bad, misses it or reports something else.

#include <array>
#include <cstdint>
#include <string>

#include "gpu_miner/preimage.h"
#include "kernels/launch_shape.h"

// Every launch: 4 blocks of kThreadsPerBlock (256) threads, each walking 256 consecutive
// nonces. The ranges start 128 nonces before a low-byte wrap, so every thread's walk crosses
// one, and each known nonce lies after the wrap in its thread's walk: a kernel that kept the
// digits from before the wrap misses it.
inline constexpr int32_t kSelfTestGrid = 4;
inline constexpr int32_t kSelfTestLoops = 256;
inline constexpr uint64_t kSelfTestNonces = uint64_t{kSelfTestGrid} * kThreadsPerBlock * kSelfTestLoops;

// The 142-byte pre-image prefix, of the real shape: 78 characters of block hash text, 64 of
// header hash.
extern const char kSelfTestPrefix[];

struct SelfTestLaunch {
    bool precomp;  // kernel_mine_precomp, else kernel_mine_fallback
    bool share;    // the known nonce is to be a share find (block target zero), else a block
    uint64_t start;
    uint64_t nonce;      // the nonce of the range's smallest digest
    const char* digest;  // that digest, 64 hex digits
};

// In order: the precomp kernel over a range within one 2^40 block, as a block find and then
// as a share; the fallback kernel over a range that crosses 2^40 (digits 0-5 change inside
// it, and the known nonce lies beyond the crossing), likewise.
extern const std::array<SelfTestLaunch, 4> kSelfTestLaunches;

// One result slot (block or share) of a launch, as read back from the device.
struct FindReport {
    bool found = false;
    uint64_t nonce = 0;
    std::array<uint8_t, 32> digest{};
};

// What the launch got wrong, for the ERROR line ("precomp kernel missed block nonce ..."), or
// empty when `expected` (the slot of the launch's known find) holds exactly the known nonce
// and digest and `other` (the slot whose target is zero) holds nothing.
std::string self_test_fault(const SelfTestLaunch& launch, const FindReport& expected, const FindReport& other);

// The target at the 64-hex-digit digest: only that digest, and smaller ones, meet it.
Target target_at(const char* digest);

struct SelfTestResult {
    bool passed = false;
    std::string failure;  // why the device was taken out of service
    double milliseconds = 0.0;
};
