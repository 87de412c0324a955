#pragma once
// SHA-256 building blocks for the kernels. Rounds are templates on the round number, so every
// compression is straight-line code with constant indices: the working variables and the
// 16-word schedule window stay in registers, and the eight variables are never moved, only
// renamed (variable k of round r lives in s[(k - r) & 7]).

#include <cstdint>
#include <utility>

#include "kernels/kernels.h"

namespace sha256_device {

// Calls f(std::integral_constant<int, k>) for k = 0..N-1 as straight-line code.
template <typename F, int... K>
__device__ __forceinline__ void unrolled_over(F&& f, std::integer_sequence<int, K...>) {
    (f(std::integral_constant<int, K>{}), ...);
}
template <int N, typename F>
__device__ __forceinline__ void unrolled(F&& f) {
    unrolled_over(f, std::make_integer_sequence<int, N>{});
}

__device__ __forceinline__ uint32_t rotr(uint32_t x, unsigned int n) { return __funnelshift_r(x, x, n); }
__device__ __forceinline__ uint32_t big_sigma0(uint32_t a) { return rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22); }
__device__ __forceinline__ uint32_t big_sigma1(uint32_t e) { return rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25); }
__device__ __forceinline__ uint32_t small_sigma0(uint32_t x) { return rotr(x, 7) ^ rotr(x, 18) ^ (x >> 3); }
__device__ __forceinline__ uint32_t small_sigma1(uint32_t x) { return rotr(x, 17) ^ rotr(x, 19) ^ (x >> 10); }
__device__ __forceinline__ uint32_t choose(uint32_t e, uint32_t f, uint32_t g) { return g ^ (e & (f ^ g)); }
__device__ __forceinline__ uint32_t majority(uint32_t a, uint32_t b, uint32_t c) { return (a & b) | (c & (a | b)); }

// The working variables a..h entering round `Round`, in rotated order.
template <int Round>
__device__ __forceinline__ uint32_t& var(uint32_t (&s)[8], int k) {
    return s[(k - Round) & 7];
}

template <int Round>
__device__ __forceinline__ void round_step(uint32_t (&s)[8], uint32_t w) {
    const uint32_t t1 = var<Round>(s, 7) + big_sigma1(var<Round>(s, 4)) +
                        choose(var<Round>(s, 4), var<Round>(s, 5), var<Round>(s, 6)) + d_K[Round] + w;
    var<Round>(s, 3) += t1;
    var<Round>(s, 7) = t1 + big_sigma0(var<Round>(s, 0)) + majority(var<Round>(s, 0), var<Round>(s, 1), var<Round>(s, 2));
}

// Rounds Round..63. w[r & 15] holds W(r) when round r needs it; from round FirstExtended on
// the schedule is extended in place (below it the caller has placed the words).
template <int Round, int FirstExtended>
__device__ __forceinline__ void rounds_to_end(uint32_t (&s)[8], uint32_t (&w)[16]) {
    if constexpr (Round < 64) {
        if constexpr (Round >= FirstExtended) {
            w[Round & 15] += small_sigma1(w[(Round - 2) & 15]) + w[(Round - 7) & 15] + small_sigma0(w[(Round - 15) & 15]);
        }
        round_step<Round>(s, w[Round & 15]);
        rounds_to_end<Round + 1, FirstExtended>(s, w);
    }
}

// Loads a..h (in natural order at `base` of C) into the rotation used from round `Round` on.
template <int Round>
__device__ __forceinline__ void load_state(uint32_t (&s)[8], int base) {
    unrolled<8>([&](auto k) { s[(decltype(k)::value - Round) & 7] = C[base + decltype(k)::value]; });
}

// The first round a search kernel computes, with everything but its message word worked
// out once per thread: t1 = h + Σ1(e) + Ch(e, f, g) + K, t2 = Σ0(a) + Maj(a, b, c).
struct HoistedRound {
    uint32_t t1_without_w;
    uint32_t t2;
};

template <int Round>
__device__ __forceinline__ HoistedRound hoist_round(uint32_t (&s)[8]) {
    return {var<Round>(s, 7) + big_sigma1(var<Round>(s, 4)) +
                choose(var<Round>(s, 4), var<Round>(s, 5), var<Round>(s, 6)) + d_K[Round],
            big_sigma0(var<Round>(s, 0)) + majority(var<Round>(s, 0), var<Round>(s, 1), var<Round>(s, 2))};
}

template <int Round>
__device__ __forceinline__ void hoisted_round_step(uint32_t (&s)[8], HoistedRound hoisted, uint32_t w) {
    const uint32_t t1 = hoisted.t1_without_w + w;
    var<Round>(s, 3) += t1;
    var<Round>(s, 7) = t1 + hoisted.t2;
}

// ASCII hex codes of the four nibbles in the low 16 bits, the highest nibble in the most
// significant byte: per byte v + '0' + 39 * ((v + 6) >> 4), all four bytes at once.
__device__ __forceinline__ uint32_t hex_codes(uint32_t nibbles) {
    const uint32_t v = ((nibbles & 0xf000u) << 12) | ((nibbles & 0x0f00u) << 8) | ((nibbles & 0x00f0u) << 4) |
                       (nibbles & 0x000fu);
    return v + 0x30303030u + 39u * (((v + 0x06060606u) >> 4) & 0x01010101u);
}

// Message words W5, W6, W7 of the last block: nonce digits 6-15, then 0x80 and a zero byte.
__device__ __forceinline__ void nonce_low_words(uint64_t nonce, uint32_t (&w)[16]) {
    w[5] = hex_codes(static_cast<uint32_t>(nonce >> 24) & 0xffffu);
    w[6] = hex_codes(static_cast<uint32_t>(nonce >> 8) & 0xffffu);
    w[7] = (hex_codes(static_cast<uint32_t>(nonce) & 0xffu) << 16) | 0x8000u;
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
