#pragma once
// The search's building blocks, shared by the GPU's threads (search_kernels.cuh) and the host
// back-end's lanes (search_lanes.cuh). Each thread walks consecutive nonces, so that nonce digits 0-13 change
// only when the low byte wraps: everything of a candidate that depends on them alone (rounds
// up to 6, round 7 but for W7, and the schedule terms free of W7) is worked out once per run
// of nonces with the same digits 0-13, and each candidate runs rounds 7-63 from there.

#include "kernels/kernels.h"
#include "kernels/sha256_device.h"

namespace search_detail {

using namespace sha256_device;

struct ResultBuffers {
    uint64_t* found_nonce;
    uint8_t* found_hash;
    int* found_flag;
    uint64_t* share_nonce;
    uint8_t* share_hash;
    int* share_flag;
    int* stop_flag;
};

// The flags are written by other threads of the same launch and by the host's copies while it
// runs: a coherent load, not the read-only data path.
__device__ __forceinline__ int load_flag(int* flag) {
    return __nv_atomic_load_n(flag, __NV_ATOMIC_RELAXED, __NV_THREAD_SCOPE_DEVICE);
}

// True once the launch is to end: a block was found, or the host aborted it. Nothing else is
// done on the way out: work there makes ptxas put a YIELD into the candidate loop on Blackwell.
__device__ __forceinline__ bool launch_stopped(const ResultBuffers& out) { return load_flag(out.stop_flag) != 0; }

// Tests one candidate's digest against both targets. Returns true when the thread must stop:
// the candidate is a block find, whether or not this thread won the result buffers; either way
// the other threads stop at their next poll.
__device__ __forceinline__ bool report_candidate(const uint32_t (&digest)[8], uint64_t nonce,
                                                 const ResultBuffers& out) {
    if (meets_target(digest, constant_word::block_target)) {
        if (atomicCAS(out.found_flag, 0, 1) == 0) {
            *out.found_nonce = nonce;
            store_digest(out.found_hash, digest);
        }
        atomicExch(out.stop_flag, kStopFound);
        return true;
    }
    // Testing the target before the flag spares a flag read per candidate; the outcome is
    // the same, and a stale flag only costs a swap that fails.
    if (meets_target(digest, constant_word::share_target) && load_flag(out.share_flag) == 0 &&
        atomicCAS(out.share_flag, 0, 1) == 0) {
        *out.share_nonce = nonce;
        store_digest(out.share_hash, digest);
    }
    return false;
}

// W18, W19 and the parts of W33 and W34 that depend on nonce digits 0-5 only: straight from C
// for a precomp launch, where they are fixed (read where used, they take no register) ...
template <typename WordType>
struct LaunchWordsInC {
    using Word = WordType;
    __device__ __forceinline__ Word w18() const { return constant<Word>(constant_word::w18); }
    __device__ __forceinline__ Word w19() const { return constant<Word>(constant_word::w19); }
    __device__ __forceinline__ Word w33_part() const { return constant<Word>(constant_word::w33_part); }
    __device__ __forceinline__ Word w34_part() const { return constant<Word>(constant_word::w34_part); }
};

// ... or worked out per run by the fallback kernel.
template <typename WordType>
struct LaunchWordsPerRun {
    using Word = WordType;
    Word w18_, w19_, w33_part_, w34_part_;
    __device__ __forceinline__ Word w18() const { return w18_; }
    __device__ __forceinline__ Word w19() const { return w19_; }
    __device__ __forceinline__ Word w33_part() const { return w33_part_; }
    __device__ __forceinline__ Word w34_part() const { return w34_part_; }
};

// What the candidates of one run (nonces equal but for the low byte) share.
template <typename LaunchWords>
struct Run {
    using Word = typename LaunchWords::Word;
    LaunchWords launch;
    Word a7, b7, c7, e7, f7, g7;  // working variables entering round 7 (h and d are folded below)
    Word a8_less_w7, e8_less_w7;  // a and e after round 7, less W7
    Word w20, w21;
    Word w22_less_s0_w7;      // W22 less σ0(W7)
    Word w23_less_w7;         // W23 less W7
    Word w35_part, w36_part;  // σ0(W(r-15)) + W(r-16)
};

// A run: the nonces that differ only in the low byte.
constexpr uint32_t kRunNonces = 256;

// Bits Shift to Shift + 31 of a nonce (zero above bit 63).
template <int Shift>
__device__ __forceinline__ uint32_t nonce_bits(uint64_t nonce) {
    return static_cast<uint32_t>(nonce >> Shift);
}

// Message words W5 and W6: nonce digits 6-9 and 10-13.
template <typename Word, typename Nonce>
__device__ __forceinline__ Word nonce_w5(const Nonce& nonce) {
    return hex_codes(nonce_bits<24>(nonce) & 0xffffu);
}
template <typename Word, typename Nonce>
__device__ __forceinline__ Word nonce_w6(const Nonce& nonce) {
    return hex_codes(nonce_bits<8>(nonce) & 0xffffu);
}

// The run's shared part, from the state entering round 5 and the words W4-W6.
template <typename LaunchWords, typename Word = typename LaunchWords::Word>
__device__ __forceinline__ Run<LaunchWords> start_run(Word (&s)[8], Word w4, Word w5, Word w6, LaunchWords launch) {
    round_step<5, BalancedArithmetic>(s, w5);
    round_step<6, BalancedArithmetic>(s, w6);
    Run<LaunchWords> run;
    run.launch = launch;
    run.a7 = var<7>(s, 0);
    run.b7 = var<7>(s, 1);
    run.c7 = var<7>(s, 2);
    run.e7 = var<7>(s, 4);
    run.f7 = var<7>(s, 5);
    run.g7 = var<7>(s, 6);
    // Round 7 without its message word: the new a and e less W7.
    round_with<7>(s, PlainArithmetic::add_constant<kRoundConstants[7]>(var<7>(s, 7)));
    run.a8_less_w7 = var<8>(s, 0);
    run.e8_less_w7 = var<8>(s, 4);
    const Word w18 = launch.w18();
    const Word w19 = launch.w19();
    run.w20 = small_sigma1(w18) + small_sigma0(w5) + w4;
    run.w21 = small_sigma1(w19) + small_sigma0(w6) + w5;
    run.w22_less_s0_w7 = small_sigma1(run.w20) + kPreimageBits + w6;
    run.w23_less_w7 = small_sigma1(run.w21) + C[constant_word::w16];
    run.w35_part = small_sigma0(run.w20) + w19;
    run.w36_part = small_sigma0(run.w21) + run.w20;
    return run;
}

// W(R) from σ1(W(R-2)) and `rest`, what the zero words W8-W14 leave of the other terms.
template <int R, typename Word>
__device__ __forceinline__ void extend_with(Word (&w)[64], Word rest) {
    w[R] = schedule_word_with<R, BalancedArithmetic>(w, rest);
}

// Rounds 7-63 of the candidate with message word W7 `w7`. Returns digest word 0, the only
// one the common candidate needs; with Full, all eight digest words go to `digest`.
template <bool Full, typename LaunchWords, typename Word = typename LaunchWords::Word>
__device__ __forceinline__ Word finish_candidate(const Run<LaunchWords>& run, Word w7, Word (&digest)[8]) {
    // Entering round 8, the rotation puts a..h at s[0..7].
    Word s[8] = {add(w7, run.a8_less_w7), run.a7, run.b7, run.c7, add(w7, run.e8_less_w7), run.e7, run.f7, run.g7};
    // W8-W14 are zero and W15 the bit length.
    unrolled<7>([&](auto k) { round_constant_word<8 + decltype(k)::value, 0, BalancedArithmetic>(s); });
    round_constant_word<15, kPreimageBits, BalancedArithmetic>(s);

    Word w[64];
    w[7] = w7;
    w[16] = constant<Word>(constant_word::w16);
    w[17] = constant<Word>(constant_word::w17);
    w[18] = run.launch.w18();
    w[19] = run.launch.w19();
    w[20] = run.w20;
    w[21] = run.w21;
    w[22] = add(balanced_small_sigma0(w7), run.w22_less_s0_w7);
    w[23] = add(w7, run.w23_less_w7);
    unrolled<8>(
        [&](auto k) { round_step<16 + decltype(k)::value, BalancedArithmetic>(s, w[16 + decltype(k)::value]); });
    // W24-W36: of σ0(W(r-15)) + W(r-16) + W(r-7), the zero words W8-W14 leave little.
    extend_with<24>(w, constant<Word>(constant_word::w17));
    round_step<24, BalancedArithmetic>(s, w[24]);
    extend_with<25>(w, run.launch.w18());
    round_step<25, BalancedArithmetic>(s, w[25]);
    extend_with<26>(w, run.launch.w19());
    round_step<26, BalancedArithmetic>(s, w[26]);
    extend_with<27>(w, run.w20);
    round_step<27, BalancedArithmetic>(s, w[27]);
    extend_with<28>(w, run.w21);
    round_step<28, BalancedArithmetic>(s, w[28]);
    extend_with<29>(w, w[22]);
    round_step<29, BalancedArithmetic>(s, w[29]);
    extend_with<30>(w, add_constant<small_sigma0(kPreimageBits)>(w[23]));
    round_step<30, BalancedArithmetic>(s, w[30]);
    extend_with<31>(w, add(w[24], constant<Word>(constant_word::w31_part)));
    round_step<31, BalancedArithmetic>(s, w[31]);
    extend_with<32>(w, add(w[25], constant<Word>(constant_word::w32_part)));
    round_step<32, BalancedArithmetic>(s, w[32]);
    extend_with<33>(w, add(w[26], run.launch.w33_part()));
    round_step<33, BalancedArithmetic>(s, w[33]);
    extend_with<34>(w, add(w[27], run.launch.w34_part()));
    round_step<34, BalancedArithmetic>(s, w[34]);
    extend_with<35>(w, add(w[28], run.w35_part));
    round_step<35, BalancedArithmetic>(s, w[35]);
    extend_with<36>(w, add(w[29], run.w36_part));
    round_step<36, BalancedArithmetic>(s, w[36]);
    unrolled<26>([&](auto k) {
        constexpr int r = 37 + decltype(k)::value;
        w[r] = schedule_word<r, BalancedArithmetic>(w);
        round_step<r, BalancedArithmetic>(s, w[r]);
    });
    constexpr int r = 63;
    w[r] = schedule_word<r, BalancedArithmetic>(w);
    // The last round's new e only matters for digest word 4.
    round_step<r, BalancedArithmetic, Full>(s, w[r]);
    if constexpr (Full) {
        unrolled<8>([&](auto k) {
            constexpr int i = decltype(k)::value;
            digest[i] = C[constant_word::midstate + i] + var<64>(s, i);
        });
        return digest[0];
    } else {
        return add(var<64>(s, 0), constant<Word>(constant_word::midstate));
    }
}

// The candidate loop of both kernels. run_at(nonce) gives the Run of the nonce's run.
template <typename RunAt>
__device__ __forceinline__ void search_candidates(uint64_t start_nonce, int loops, const ResultBuffers& out,
                                                  RunAt run_at) {
    if (loops < 1) return;
    const uint32_t thread = blockIdx.x * blockDim.x + threadIdx.x;
    uint64_t nonce = start_nonce + uint64_t{thread} * static_cast<uint32_t>(loops);
    uint32_t left = static_cast<uint32_t>(loops);
    // A digest whose word 0 lies above both targets' word 0 meets neither: the full digest
    // and compares are left to the rare candidate that passes this.
    const uint32_t block_word0 = C[constant_word::block_target];
    const uint32_t share_word0 = C[constant_word::share_target];
    const uint32_t pass_word0 = block_word0 > share_word0 ? block_word0 : share_word0;

    // The stop word is polled once per run, so at most kRunNonces candidates apart.
    while (left != 0) {
        if (launch_stopped(out)) return;
        const uint32_t first = static_cast<uint32_t>(nonce) % kRunNonces;
        const uint32_t end = left < kRunNonces - first ? first + left : kRunNonces;
        const auto run = run_at(nonce);
        for (uint32_t low = first; low != end; ++low) {
            const uint32_t w7 = (hex_codes(low) << 16) | 0x8000u;  // digits 14-15, 0x80, 0x00
            uint32_t digest[8];
            if (finish_candidate<false>(run, w7, digest) > pass_word0) continue;
            finish_candidate<true>(run, w7, digest);
            if (report_candidate(digest, (nonce & ~uint64_t{kRunNonces - 1}) | low, out)) return;
        }
        left -= end - first;
        nonce += end - first;
    }
}

// The per-run work is not inlined on the GPU: inlined, the compiler would hoist everything of
// it that depends on C alone out of the candidate loop and hold it in registers the
// candidates need. The host's vector code inlines it into its candidate loop.
#ifdef __CUDACC__
#define PER_RUN_WORK __device__ __attribute__((noinline))
#else
#define PER_RUN_WORK __forceinline__
#endif

// The Run of a precomp run: from the state after rounds 0-4, which already holds nonce
// digits 0-5; W4, W18, W19 and the W33/W34 parts come ready from C.
template <typename Word, typename Nonce>
PER_RUN_WORK Run<LaunchWordsInC<Word>> precomp_run(Nonce nonce) {
    Word s[8];
    load_state<5>(s, constant_word::state_after_5);
    return start_run(s, constant<Word>(constant_word::w4), nonce_w5<Word>(nonce), nonce_w6<Word>(nonce),
                     LaunchWordsInC<Word>{});
}

// The Run of a fallback run: from the state after rounds 0-2, with nonce digits 0-5
// formed here, so any nonce range works.
template <typename Word, typename Nonce>
PER_RUN_WORK Run<LaunchWordsPerRun<Word>> fallback_run(Nonce nonce) {
    const Word w2 = constant<Word>(constant_word::w2);
    const Word w3 = C[constant_word::w3_base] | (hex_codes(nonce_bits<56>(nonce)) & 0xffffu);
    const Word w4 = hex_codes(nonce_bits<40>(nonce) & 0xffffu);
    const Word w16 = constant<Word>(constant_word::w16);
    const Word w17 = constant<Word>(constant_word::w17);
    Word s[8];
    load_state<3>(s, constant_word::state_after_3);
    round_step<3, BalancedArithmetic>(s, w3);
    round_step<4, BalancedArithmetic>(s, w4);
    const Word w18 = small_sigma1(w16) + small_sigma0(w3) + w2;
    const Word w19 = small_sigma1(w17) + small_sigma0(w4) + w3;
    return start_run(s, w4, nonce_w5<Word>(nonce), nonce_w6<Word>(nonce),
                     LaunchWordsPerRun<Word>{w18, w19, small_sigma0(w18) + w17, small_sigma0(w19) + w18});
}

#undef PER_RUN_WORK

// Each kernel's runs as the host back-end's lanes take them (search_lanes.cuh), at any word type.
struct PrecompRuns {
    template <typename Word, typename Nonce>
    static __forceinline__ auto at(const Nonce& nonce) {
        return precomp_run<Word>(nonce);
    }
};
struct FallbackRuns {
    template <typename Word, typename Nonce>
    static __forceinline__ auto at(const Nonce& nonce) {
        return fallback_run<Word>(nonce);
    }
};

}  // namespace search_detail
