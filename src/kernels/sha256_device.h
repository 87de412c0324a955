#pragma once
// SHA-256 building blocks for the kernels. Rounds are templates on the round number, so every
// compression is straight-line code with constant indices: the working variables and the
// message schedule stay in registers, the round constants are immediates, and the eight
// variables are never moved, only renamed (variable k of round r lives in s[(k - r) & 7]).
// Everything is also a template on the word type: uint32_t, one thread's word, on the GPU;
// on the host back-end also a GCC vector of uint32_t whose lanes are consecutive threads.

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
template <typename Word>
__device__ __forceinline__ Word add(Word x, Word y) {
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
__device__ __forceinline__ Word add_constant(Word x) {
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
__device__ __forceinline__ Word shift_right(Word x) {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ < 1000
    uint32_t high;
    asm("mul.hi.u32 %0, %1, %2;" : "=r"(high) : "r"(x), "r"(C[Multiplier]));
    return high;
#else
    return x >> N;
#endif
}

// Rotations by a compile-time count: a funnel shift on the GPU, a rotate instruction where the
// CPU has one (AVX-512) and two shifts and an or elsewhere.
template <unsigned int N>
__device__ __forceinline__ uint32_t rotr(uint32_t x) {
    return __funnelshift_r(x, x, N);
}
template <unsigned int N, typename Word>
__device__ __forceinline__ Word rotr(Word x) {
    return (x >> N) | (x << (32 - N));
}

template <typename Word>
__device__ __forceinline__ Word big_sigma0(Word a) {
    return rotr<2>(a) ^ rotr<13>(a) ^ rotr<22>(a);
}
template <typename Word>
__device__ __forceinline__ Word big_sigma1(Word e) {
    return rotr<6>(e) ^ rotr<11>(e) ^ rotr<25>(e);
}
template <typename Word>
__device__ __forceinline__ Word small_sigma0(Word x) {
    return rotr<7>(x) ^ rotr<18>(x) ^ (x >> 3);
}
template <typename Word>
__device__ __forceinline__ Word small_sigma1(Word x) {
    return rotr<17>(x) ^ rotr<19>(x) ^ (x >> 10);
}
// σ0 and σ1 of the candidate loop, with the shift through shift_right; they need C's
// multipliers in place, which the midstate kernel cannot count on.
template <typename Word>
__device__ __forceinline__ Word balanced_small_sigma0(Word x) {
    return rotr<7>(x) ^ rotr<18>(x) ^ shift_right<3, constant_word::shift_3>(x);
}
template <typename Word>
__device__ __forceinline__ Word balanced_small_sigma1(Word x) {
    return rotr<17>(x) ^ rotr<19>(x) ^ shift_right<10, constant_word::shift_10>(x);
}
template <typename Word>
__device__ __forceinline__ Word choose(Word e, Word f, Word g) {
    return g ^ (e & (f ^ g));
}
__device__ __forceinline__ uint32_t majority(uint32_t a, uint32_t b, uint32_t c) { return (a & b) | (c & (a | b)); }
// Without a three-input logic instruction: a ^ b of one round is b ^ c of the next, which the
// compiler keeps, so a round pays two operations for Maj instead of four.
template <typename Word>
__device__ __forceinline__ Word majority(Word a, Word b, Word c) {
    return b ^ ((a ^ b) & (b ^ c));
}

// A word of C in every lane.
template <typename Word>
__device__ __forceinline__ Word constant(int k) {
    return Word{} + C[k];
}

// The host-side value of σ0 for compile-time arguments.
__host__ __device__ constexpr uint32_t small_sigma0_of(uint32_t x) {
    return ((x >> 7) | (x << 25)) ^ ((x >> 18) | (x << 14)) ^ (x >> 3);
}

// The working variables a..h entering round `Round`, in rotated order.
template <int Round, typename Word>
__device__ __forceinline__ Word& var(Word (&s)[8], int k) {
    return s[(k - Round) & 7];
}

// Round `Round` given h + K + W; the new e is skipped when only a is wanted.
template <int Round, bool NewE = true, typename Word>
__device__ __forceinline__ void round_with(Word (&s)[8], Word h_k_w) {
    const Word e = var<Round>(s, 4);
    const Word a = var<Round>(s, 0);
    const Word t1 = add(choose(e, var<Round>(s, 5), var<Round>(s, 6)), add(big_sigma1(e), h_k_w));
    if constexpr (NewE) var<Round>(s, 3) = add(t1, var<Round>(s, 3));
    var<Round>(s, 7) = add(majority(a, var<Round>(s, 1), var<Round>(s, 2)), add(big_sigma0(a), t1));
}

// A round whose message word w is only known at run time.
template <int Round, bool NewE = true, typename Word>
__device__ __forceinline__ void round_step(Word (&s)[8], Word w) {
    round_with<Round, NewE>(s, add(w, add_constant<kRoundConstants[Round]>(var<Round>(s, 7))));
}

// A round whose message word is the compile-time W.
template <int Round, uint32_t W, typename Word>
__device__ __forceinline__ void round_constant_word(Word (&s)[8]) {
    round_with<Round>(s, add_constant<kRoundConstants[Round] + W>(var<Round>(s, 7)));
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
