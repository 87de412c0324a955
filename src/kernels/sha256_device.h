#pragma once
// SHA-256 building blocks for the kernels. Rounds are templates on the round number, so every
// compression is straight-line code with constant indices: the working variables and the
// message schedule stay in registers, the round constants are immediates, and the eight
// variables are never moved, only renamed (variable k of round r lives in s[(k - r) & 7]).

#include <cstdint>
#include <utility>

#include "kernels/device_constants.cuh"
#include "kernels/sha256_constants.h"

namespace sha256_device {

constexpr uint32_t kRoundConstants[64] = {SHA256_ROUND_CONSTANTS};

// Calls f(std::integral_constant<int, k>) for k = 0..N-1 as straight-line code.
template <typename F, int... K>
__device__ __forceinline__ void unrolled_over(F&& f, std::integer_sequence<int, K...>) {
    (f(std::integral_constant<int, K>{}), ...);
}
template <int N, typename F>
__device__ __forceinline__ void unrolled(F&& f) {
    unrolled_over(f, std::make_integer_sequence<int, N>{});
}

// x + y. Turing to Hopper issue the integer additions to the same pipe as the logic and
// shift operations that bound SHA-256, while the multiply-add pipe idles. A multiply-add by
// C's word `one` (the host sets it to 1) does the addition there; the compiler, not knowing
// the multiplier, cannot fold it back into an IADD3. Blackwell has one merged integer pipe,
// where the three-input IADD3 is the cheaper form.
__device__ __forceinline__ uint32_t add(uint32_t x, uint32_t y) {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ < 1000
    uint32_t sum;
    asm("mad.lo.u32 %0, %1, %2, %3;" : "=r"(sum) : "r"(x), "r"(C[constant_word::one]), "r"(y));
    return sum;
#else
    return x + y;
#endif
}

// x + K for a compile-time K, the same way: one * K + x with K as an immediate.
template <uint32_t K>
__device__ __forceinline__ uint32_t add_constant(uint32_t x) {
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
template <int N, int Multiplier>
__device__ __forceinline__ uint32_t shift_right(uint32_t x) {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ < 1000
    uint32_t high;
    asm("mul.hi.u32 %0, %1, %2;" : "=r"(high) : "r"(x), "r"(C[Multiplier]));
    return high;
#else
    return x >> N;
#endif
}

__device__ __forceinline__ uint32_t rotr(uint32_t x, unsigned int n) { return __funnelshift_r(x, x, n); }
__device__ __forceinline__ uint32_t big_sigma0(uint32_t a) { return rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22); }
__device__ __forceinline__ uint32_t big_sigma1(uint32_t e) { return rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25); }
__device__ __forceinline__ uint32_t small_sigma0(uint32_t x) { return rotr(x, 7) ^ rotr(x, 18) ^ (x >> 3); }
__device__ __forceinline__ uint32_t small_sigma1(uint32_t x) { return rotr(x, 17) ^ rotr(x, 19) ^ (x >> 10); }
// σ0 and σ1 of the candidate loop, with the shift through shift_right; they need C's
// multipliers in place, which the midstate kernel cannot count on.
__device__ __forceinline__ uint32_t balanced_small_sigma0(uint32_t x) {
    return rotr(x, 7) ^ rotr(x, 18) ^ shift_right<3, constant_word::shift_3>(x);
}
__device__ __forceinline__ uint32_t balanced_small_sigma1(uint32_t x) {
    return rotr(x, 17) ^ rotr(x, 19) ^ shift_right<10, constant_word::shift_10>(x);
}
__device__ __forceinline__ uint32_t choose(uint32_t e, uint32_t f, uint32_t g) { return g ^ (e & (f ^ g)); }
__device__ __forceinline__ uint32_t majority(uint32_t a, uint32_t b, uint32_t c) { return (a & b) | (c & (a | b)); }

// The host-side value of σ0 for compile-time arguments.
__host__ __device__ constexpr uint32_t small_sigma0_of(uint32_t x) {
    return ((x >> 7) | (x << 25)) ^ ((x >> 18) | (x << 14)) ^ (x >> 3);
}

// The working variables a..h entering round `Round`, in rotated order.
template <int Round>
__device__ __forceinline__ uint32_t& var(uint32_t (&s)[8], int k) {
    return s[(k - Round) & 7];
}

// Round `Round` given h + K + W; the new e is skipped when only a is wanted.
template <int Round, bool NewE = true>
__device__ __forceinline__ void round_with(uint32_t (&s)[8], uint32_t h_k_w) {
    const uint32_t e = var<Round>(s, 4);
    const uint32_t a = var<Round>(s, 0);
    const uint32_t t1 = add(choose(e, var<Round>(s, 5), var<Round>(s, 6)), add(big_sigma1(e), h_k_w));
    if constexpr (NewE) var<Round>(s, 3) = add(t1, var<Round>(s, 3));
    var<Round>(s, 7) = add(majority(a, var<Round>(s, 1), var<Round>(s, 2)), add(big_sigma0(a), t1));
}

// A round whose message word w is only known at run time.
template <int Round, bool NewE = true>
__device__ __forceinline__ void round_step(uint32_t (&s)[8], uint32_t w) {
    round_with<Round, NewE>(s, add(w, add_constant<kRoundConstants[Round]>(var<Round>(s, 7))));
}

// A round whose message word is the compile-time W.
template <int Round, uint32_t W>
__device__ __forceinline__ void round_constant_word(uint32_t (&s)[8]) {
    round_with<Round>(s, add_constant<kRoundConstants[Round] + W>(var<Round>(s, 7)));
}

// Loads a..h (in natural order at `base` of C) into the rotation used from round `Round` on.
template <int Round>
__device__ __forceinline__ void load_state(uint32_t (&s)[8], int base) {
    unrolled<8>([&](auto k) { s[(decltype(k)::value - Round) & 7] = C[base + decltype(k)::value]; });
}

// ASCII hex codes of the four nibbles in the low 16 bits, the highest nibble in the most
// significant byte: per byte v + '0' + 39 * ((v + 6) >> 4), all four bytes at once.
__device__ __forceinline__ uint32_t hex_codes(uint32_t nibbles) {
    const uint32_t v = ((nibbles & 0xf000u) << 12) | ((nibbles & 0x0f00u) << 8) | ((nibbles & 0x00f0u) << 4) |
                       (nibbles & 0x000fu);
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
