#pragma once
// The search kernels' arithmetic and helpers around the shared SHA-256 (sha256.h): additions
// and shifts moved to the multiply-add pipe where that pays, the constant block's words as
// Words, the nonce digits' hex codes and the digest against a target.

#include <cstdint>

#include "kernels/device_constants.cuh"
#include "kernels/host_device.h"
#include "kernels/sha256.h"

namespace sha256_device {

using namespace sha256;

// x + y. Turing to Hopper issue the integer additions to the same pipe as the logic and
// shift operations that bound SHA-256, while the multiply-add pipe idles. A multiply-add by
// C's word `one` (the host sets it to 1) does the addition there; the compiler, not knowing
// the multiplier, cannot fold it back into an IADD3. Blackwell has one merged integer pipe,
// where the three-input IADD3 is the cheaper form.
template <typename Word>
HOST_DEVICE_INLINE Word add(Word x, Word y) {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ < 1000
    uint32_t sum;
    asm("mad.lo.u32 %0, %1, %2, %3;" : "=r"(sum) : "r"(x), "r"(C[constant_word::one]), "r"(y));
    return sum;
#else
    return x + y;
#endif
}

// x + K for a compile-time K, the same way: one * K + x with K as an immediate.
template <uint32_t K, typename Word>
HOST_DEVICE_INLINE Word add_constant(Word x) {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ < 1000
    uint32_t sum;
    asm("mad.lo.u32 %0, %1, %2, %3;" : "=r"(sum) : "r"(C[constant_word::one]), "n"(K), "r"(x));
    return sum;
#else
    return x + K;
#endif
}

// x >> N, where C's word `Multiplier` holds 2^(32-N): on Turing to Hopper the high word of a
// multiplication, so that the shifts of σ0 and σ1 also leave the integer ALU pipe.
template <int N, int Multiplier, typename Word>
HOST_DEVICE_INLINE Word shift_right(Word x) {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ < 1000
    uint32_t high;
    asm("mul.hi.u32 %0, %1, %2;" : "=r"(high) : "r"(x), "r"(C[Multiplier]));
    return high;
#else
    return x >> N;
#endif
}

// σ0 and σ1 of the candidate loop, with the shift through shift_right.
template <typename Word>
HOST_DEVICE_INLINE Word balanced_small_sigma0(Word x) {
    return rotr<7>(x) ^ rotr<18>(x) ^ shift_right<3, constant_word::shift_3>(x);
}
template <typename Word>
HOST_DEVICE_INLINE Word balanced_small_sigma1(Word x) {
    return rotr<17>(x) ^ rotr<19>(x) ^ shift_right<10, constant_word::shift_10>(x);
}

// The candidate loop's arithmetic for the shared rounds and schedule. It needs C's
// multipliers in place, which the midstate kernel cannot count on: that one computes with
// PlainArithmetic.
struct BalancedArithmetic {
    template <typename Word>
    static HOST_DEVICE_INLINE Word add(Word x, Word y) {
        return sha256_device::add(x, y);
    }
    template <uint32_t K, typename Word>
    static HOST_DEVICE_INLINE Word add_constant(Word x) {
        return sha256_device::add_constant<K>(x);
    }
    template <typename Word>
    static HOST_DEVICE_INLINE Word small_sigma0(Word x) {
        return balanced_small_sigma0(x);
    }
    template <typename Word>
    static HOST_DEVICE_INLINE Word small_sigma1(Word x) {
        return balanced_small_sigma1(x);
    }
};

// A word of C in every lane.
template <typename Word>
__device__ __forceinline__ Word constant(int k) {
    return Word{} + C[k];
}

// Loads a..h (in natural order at `base` of C) into the rotation used from round `Round` on.
template <int Round, typename Word>
__device__ __forceinline__ void load_state(Word (&s)[8], int base) {
    unrolled<8>([&](auto k) { s[(decltype(k)::value - Round) & 7] = constant<Word>(base + decltype(k)::value); });
}

// ASCII hex codes of the four nibbles in the low 16 bits, the highest nibble in the most
// significant byte: per byte v + '0' + 39 * ((v + 6) >> 4), all four bytes at once.
template <typename Word>
__device__ __forceinline__ Word hex_codes(Word nibbles) {
    const Word v =
        ((nibbles & 0xf000u) << 12) | ((nibbles & 0x0f00u) << 8) | ((nibbles & 0x00f0u) << 4) | (nibbles & 0x000fu);
    return v + 0x30303030u + 39u * (((v + 0x06060606u) >> 4) & 0x01010101u);
}

// Digest <= target, both as 256-bit numbers with word 0 most significant; the target is the
// eight words of C from `base`.
template <int K = 0>
__device__ __forceinline__ bool meets_target(const uint32_t (&digest)[8], int base) {
    if constexpr (K == 7) {
        return digest[7] <= C[base + 7];
    } else {
        if (digest[K] != C[base + K]) return digest[K] < C[base + K];
        return meets_target<K + 1>(digest, base);
    }
}

__device__ __forceinline__ void store_digest(uint8_t* out, const uint32_t (&digest)[8]) {
    unrolled<32>([&](auto i) {
        constexpr int byte = decltype(i)::value;
        out[byte] = static_cast<uint8_t>(digest[byte / 4] >> (24 - 8 * (byte % 4)));
    });
}

}  // namespace sha256_device
