#pragma once
// SHA-256 of FIPS 180-4, the one implementation that the kernels and the host's work on the
// constant block share: constants, round functions, the round, the message schedule and the
// compression. Rounds are templates on the round number, so every compression is
// straight-line code with constant indices: the working variables and the message schedule
// stay in registers, the round constants are immediates, and the eight variables are never
// moved, only renamed (variable k of round r lives in s[(k - r) & 7]). Everything is also a
// template on the word type: uint32_t, one thread's word; on the host back-end also a GCC
// vector of uint32_t whose lanes are consecutive threads. The additions and σ0/σ1 of rounds
// and schedule come from an arithmetic type: PlainArithmetic, or the search kernels' own
// (sha256_device.h), which computes the same values with other instructions.

#include <cstddef>
#include <cstdint>
#include <utility>

#include "kernels/host_device.h"

namespace sha256 {

constexpr int kBlockBytes = 64;

constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98u, 0x71374491u, 0xb5c0fbcfu, 0xe9b5dba5u, 0x3956c25bu, 0x59f111f1u, 0x923f82a4u, 0xab1c5ed5u,
    0xd807aa98u, 0x12835b01u, 0x243185beu, 0x550c7dc3u, 0x72be5d74u, 0x80deb1feu, 0x9bdc06a7u, 0xc19bf174u,
    0xe49b69c1u, 0xefbe4786u, 0x0fc19dc6u, 0x240ca1ccu, 0x2de92c6fu, 0x4a7484aau, 0x5cb0a9dcu, 0x76f988dau,
    0x983e5152u, 0xa831c66du, 0xb00327c8u, 0xbf597fc7u, 0xc6e00bf3u, 0xd5a79147u, 0x06ca6351u, 0x14292967u,
    0x27b70a85u, 0x2e1b2138u, 0x4d2c6dfcu, 0x53380d13u, 0x650a7354u, 0x766a0abbu, 0x81c2c92eu, 0x92722c85u,
    0xa2bfe8a1u, 0xa81a664bu, 0xc24b8b70u, 0xc76c51a3u, 0xd192e819u, 0xd6990624u, 0xf40e3585u, 0x106aa070u,
    0x19a4c116u, 0x1e376c08u, 0x2748774cu, 0x34b0bcb5u, 0x391c0cb3u, 0x4ed8aa4au, 0x5b9cca4fu, 0x682e6ff3u,
    0x748f82eeu, 0x78a5636fu, 0x84c87814u, 0x8cc70208u, 0x90befffau, 0xa4506cebu, 0xbef9a3f7u, 0xc67178f2u};

// H(0): the chaining value before the first block.
constexpr uint32_t kInitialState[8] = {0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au,
                                       0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u};

// Calls f(std::integral_constant<int, k>) for k = 0..N-1 as straight-line code.
HOST_DEVICE_CALLER
template <typename F, int... K>
HOST_DEVICE_INLINE constexpr void unrolled_over(F&& f, std::integer_sequence<int, K...>) {
    (f(std::integral_constant<int, K>{}), ...);
}
template <int N, typename F>
HOST_DEVICE_INLINE constexpr void unrolled(F&& f) {
    unrolled_over(f, std::make_integer_sequence<int, N>{});
}

// Rotation by a compile-time count: a rotate instruction where the CPU has one (AVX-512), two
// shifts and an or elsewhere. On the GPU a right funnel shift: the compiler would turn the
// shifts into a left rotation, as cheap alone but scheduled worse in the candidate loop (0.04
// clocks more per candidate). A constant expression cannot call the funnel shift.
template <unsigned int N, typename Word>
HOST_DEVICE_INLINE constexpr Word rotr(Word x) {
#if defined(__CUDA_ARCH__)
    if (!__builtin_is_constant_evaluated()) return __funnelshift_r(x, x, N);
#endif
    return (x >> N) | (x << (32 - N));
}

template <typename Word>
HOST_DEVICE_INLINE constexpr Word big_sigma0(Word a) {
    return rotr<2>(a) ^ rotr<13>(a) ^ rotr<22>(a);
}
template <typename Word>
HOST_DEVICE_INLINE constexpr Word big_sigma1(Word e) {
    return rotr<6>(e) ^ rotr<11>(e) ^ rotr<25>(e);
}
template <typename Word>
HOST_DEVICE_INLINE constexpr Word small_sigma0(Word x) {
    return rotr<7>(x) ^ rotr<18>(x) ^ (x >> 3);
}
template <typename Word>
HOST_DEVICE_INLINE constexpr Word small_sigma1(Word x) {
    return rotr<17>(x) ^ rotr<19>(x) ^ (x >> 10);
}
template <typename Word>
HOST_DEVICE_INLINE constexpr Word choose(Word e, Word f, Word g) {
    return g ^ (e & (f ^ g));
}
HOST_DEVICE_INLINE constexpr uint32_t majority(uint32_t a, uint32_t b, uint32_t c) { return (a & b) | (c & (a | b)); }
// Without a three-input logic instruction: a ^ b of one round is b ^ c of the next, which the
// compiler keeps, so a round pays two operations for Maj instead of four.
template <typename Word>
HOST_DEVICE_INLINE constexpr Word majority(Word a, Word b, Word c) {
    return b ^ ((a ^ b) & (b ^ c));
}

// The additions and σ0/σ1 as written.
struct PlainArithmetic {
    template <typename Word>
    static HOST_DEVICE_INLINE constexpr Word add(Word x, Word y) {
        return x + y;
    }
    template <uint32_t K, typename Word>
    static HOST_DEVICE_INLINE constexpr Word add_constant(Word x) {
        return x + K;
    }
    template <typename Word>
    static HOST_DEVICE_INLINE constexpr Word small_sigma0(Word x) {
        return sha256::small_sigma0(x);
    }
    template <typename Word>
    static HOST_DEVICE_INLINE constexpr Word small_sigma1(Word x) {
        return sha256::small_sigma1(x);
    }
};

// The working variables a..h entering round `Round`, in rotated order.
template <int Round, typename Word>
HOST_DEVICE_INLINE constexpr Word& var(Word (&s)[8], int k) {
    return s[(k - Round) & 7];
}

// Round `Round` given h + K + W; the new e is skipped when only a is wanted.
template <int Round, typename Arithmetic = PlainArithmetic, bool NewE = true, typename Word>
HOST_DEVICE_INLINE constexpr void round_with(Word (&s)[8], Word h_k_w) {
    using A = Arithmetic;
    const Word e = var<Round>(s, 4);
    const Word a = var<Round>(s, 0);
    const Word t1 = A::add(choose(e, var<Round>(s, 5), var<Round>(s, 6)), A::add(big_sigma1(e), h_k_w));
    if constexpr (NewE) var<Round>(s, 3) = A::add(t1, var<Round>(s, 3));
    var<Round>(s, 7) = A::add(majority(a, var<Round>(s, 1), var<Round>(s, 2)), A::add(big_sigma0(a), t1));
}

// A round whose message word w is only known at run time.
template <int Round, typename Arithmetic = PlainArithmetic, bool NewE = true, typename Word>
HOST_DEVICE_INLINE constexpr void round_step(Word (&s)[8], Word w) {
    using A = Arithmetic;
    round_with<Round, A, NewE>(s, A::add(w, A::template add_constant<kRoundConstants[Round]>(var<Round>(s, 7))));
}

// A round whose message word is the compile-time W.
template <int Round, uint32_t W, typename Arithmetic = PlainArithmetic, typename Word>
HOST_DEVICE_INLINE constexpr void round_constant_word(Word (&s)[8]) {
    round_with<Round, Arithmetic>(s, Arithmetic::template add_constant<kRoundConstants[Round] + W>(var<Round>(s, 7)));
}

// Rounds 0..N-1 on the working variables s with the message words w[0..N-1]; variable k is
// then var<N>(s, k).
template <int N, typename Arithmetic = PlainArithmetic, typename Word, size_t Words>
HOST_DEVICE_INLINE constexpr void rounds(Word (&s)[8], const Word (&w)[Words]) {
    static_assert(N <= static_cast<int>(Words));
    unrolled<N>([&](auto r) { round_step<decltype(r)::value, Arithmetic>(s, w[decltype(r)::value]); });
}

// Message word W(R) = σ1(W(R-2)) + rest, where rest holds the other terms, σ0(W(R-15)) +
// W(R-7) + W(R-16), or what is left of them where the caller knows some.
template <int R, typename Arithmetic = PlainArithmetic, typename Word>
HOST_DEVICE_INLINE constexpr Word schedule_word_with(const Word (&w)[64], Word rest) {
    return Arithmetic::add(Arithmetic::small_sigma1(w[R - 2]), rest);
}
template <int R, typename Arithmetic = PlainArithmetic, typename Word>
HOST_DEVICE_INLINE constexpr Word schedule_word(const Word (&w)[64]) {
    using A = Arithmetic;
    return schedule_word_with<R, A>(w, A::add(A::small_sigma0(w[R - 15]), A::add(w[R - 7], w[R - 16])));
}

HOST_DEVICE_INLINE constexpr uint32_t big_endian_word(const uint8_t* bytes) {
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]};
}

// `state` set to H(0). Device code reads the host's constant array as compile-time values only.
HOST_DEVICE_INLINE void set_initial_state(uint32_t (&state)[8]) {
    unrolled<8>([&](auto k) {
        constexpr uint32_t initial = kInitialState[decltype(k)::value];
        state[decltype(k)::value] = initial;
    });
}

// One compression: `state` advanced over the kBlockBytes bytes at `block`.
HOST_DEVICE_INLINE void compress(uint32_t (&state)[8], const uint8_t* block) {
    uint32_t w[64];
    unrolled<16>([&](auto k) { w[decltype(k)::value] = big_endian_word(block + 4 * decltype(k)::value); });
    unrolled<48>([&](auto k) {
        constexpr int r = 16 + decltype(k)::value;
        w[r] = schedule_word<r>(w);
    });
    uint32_t s[8];
    unrolled<8>([&](auto k) { s[decltype(k)::value] = state[decltype(k)::value]; });
    rounds<64>(s, w);
    unrolled<8>([&](auto k) { state[decltype(k)::value] += var<64>(s, decltype(k)::value); });
}

}  // namespace sha256
