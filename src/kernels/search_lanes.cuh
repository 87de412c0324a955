#pragma once
// The host back-end's search: one call runs up to 16 consecutive threads of a block as the
// lanes of GCC vector words (16 with AVX-512, 8 with AVX2, 4 with SSE2), with the same
// building blocks, runs and candidate as the GPU's threads. Every lane keeps its own nonces,
// run and low byte, so lanes may start their runs at different steps. What is rare stays
// per lane and scalar: the stop poll at a lane's run start, and a candidate that passes the
// word-0 test, which is worked out again for that lane alone and reported as its thread would.

#include <cstring>

#include "kernels/search_runs.cuh"

namespace search_detail {

using Lanes16 = uint32_t __attribute__((vector_size(64)));
using Lanes8 = uint32_t __attribute__((vector_size(32)));
using Lanes4 = uint32_t __attribute__((vector_size(16)));
// A vector comparison's result: all ones in the lanes where it holds.
template <typename Word>
using LaneMask = decltype(Word{} < Word{});

template <typename Word>
constexpr int kLanes = static_cast<int>(sizeof(Word) / sizeof(uint32_t));

// The nonces of a run, one per lane, as their two 32-bit halves.
template <typename Word>
struct LaneNonces {
    Word high, low;
};

template <int Shift, typename Word>
__forceinline__ Word nonce_bits(const LaneNonces<Word>& nonce) {
    if constexpr (Shift >= 32)
        return nonce.high >> (Shift - 32);
    else
        return (nonce.low >> Shift) | (nonce.high << (32 - Shift));
}

template <typename Mask>
__forceinline__ bool any_lane(Mask mask) {
    uint64_t words[sizeof(Mask) / sizeof(uint64_t)];
    std::memcpy(words, &mask, sizeof words);
    uint64_t any = 0;
    for (const uint64_t word : words) any |= word;
    return any != 0;
}

// Lane l of a run, as its thread's scalar run ...
template <typename Word>
__forceinline__ LaunchWordsInC<uint32_t> lane_of(const LaunchWordsInC<Word>&, int) {
    return {};
}
template <typename Word>
__forceinline__ LaunchWordsPerRun<uint32_t> lane_of(const LaunchWordsPerRun<Word>& words, int l) {
    return {words.w18_[l], words.w19_[l], words.w33_part_[l], words.w34_part_[l]};
}
template <typename LaunchWords>
__forceinline__ auto lane_of(const Run<LaunchWords>& run, int l) {
    Run<decltype(lane_of(run.launch, l))> lane;
    lane.launch = lane_of(run.launch, l);
    lane.a7 = run.a7[l];
    lane.b7 = run.b7[l];
    lane.c7 = run.c7[l];
    lane.e7 = run.e7[l];
    lane.f7 = run.f7[l];
    lane.g7 = run.g7[l];
    lane.a8_less_w7 = run.a8_less_w7[l];
    lane.e8_less_w7 = run.e8_less_w7[l];
    lane.w20 = run.w20[l];
    lane.w21 = run.w21[l];
    lane.w22_less_s0_w7 = run.w22_less_s0_w7[l];
    lane.w23_less_w7 = run.w23_less_w7[l];
    lane.w35_part = run.w35_part[l];
    lane.w36_part = run.w36_part[l];
    return lane;
}

// ... and `fresh` in the lanes of `take`, `old` in the others.
template <typename Word>
__forceinline__ Word select(LaneMask<Word> take, Word fresh, Word old) {
    return (fresh & Word(take)) | (old & ~Word(take));
}
template <typename Word>
__forceinline__ LaunchWordsInC<Word> select(LaneMask<Word>, LaunchWordsInC<Word>, LaunchWordsInC<Word>) {
    return {};
}
template <typename Word>
__forceinline__ LaunchWordsPerRun<Word> select(LaneMask<Word> take, const LaunchWordsPerRun<Word>& fresh,
                                               const LaunchWordsPerRun<Word>& old) {
    return {select(take, fresh.w18_, old.w18_), select(take, fresh.w19_, old.w19_),
            select(take, fresh.w33_part_, old.w33_part_), select(take, fresh.w34_part_, old.w34_part_)};
}
template <typename LaunchWords, typename Word = typename LaunchWords::Word>
__forceinline__ Run<LaunchWords> select(LaneMask<Word> take, const Run<LaunchWords>& fresh,
                                        const Run<LaunchWords>& old) {
    Run<LaunchWords> run;
    run.launch = select(take, fresh.launch, old.launch);
    run.a7 = select(take, fresh.a7, old.a7);
    run.b7 = select(take, fresh.b7, old.b7);
    run.c7 = select(take, fresh.c7, old.c7);
    run.e7 = select(take, fresh.e7, old.e7);
    run.f7 = select(take, fresh.f7, old.f7);
    run.g7 = select(take, fresh.g7, old.g7);
    run.a8_less_w7 = select(take, fresh.a8_less_w7, old.a8_less_w7);
    run.e8_less_w7 = select(take, fresh.e8_less_w7, old.e8_less_w7);
    run.w20 = select(take, fresh.w20, old.w20);
    run.w21 = select(take, fresh.w21, old.w21);
    run.w22_less_s0_w7 = select(take, fresh.w22_less_s0_w7, old.w22_less_s0_w7);
    run.w23_less_w7 = select(take, fresh.w23_less_w7, old.w23_less_w7);
    run.w35_part = select(take, fresh.w35_part, old.w35_part);
    run.w36_part = select(take, fresh.w36_part, old.w36_part);
    return run;
}

// Threads threadIdx.x .. threadIdx.x + lanes - 1 (lanes at most kLanes<Word>) as the lanes of
// Word: each lane does exactly what its thread does on the GPU, one candidate per step.
template <typename Word, typename Runs>
__forceinline__ void search_lanes(uint64_t start_nonce, int loops, const ResultBuffers& out, int lanes) {
    constexpr int kWidth = kLanes<Word>;
    using Mask = LaneMask<Word>;
    if (loops < 1) return;
    const uint32_t first_thread = blockIdx.x * blockDim.x + threadIdx.x;
    uint64_t nonce[kWidth];  // each lane's next nonce
    Mask active{};
    Word low{};
    for (int l = 0; l < kWidth; ++l) {
        nonce[l] = start_nonce + uint64_t{first_thread + l} * static_cast<uint32_t>(loops);
        active[l] = l < lanes ? -1 : 0;
        low[l] = static_cast<uint32_t>(nonce[l]) % kRunNonces;
    }
    const uint32_t block_word0 = C[constant_word::block_target];
    const uint32_t share_word0 = C[constant_word::share_target];
    const uint32_t pass_word0 = block_word0 > share_word0 ? block_word0 : share_word0;

    uint32_t left = static_cast<uint32_t>(loops);
    decltype(Runs::template at<Word>(LaneNonces<Word>{})) run{};
    Mask starting = active;  // lanes at the start of a run
    while (left != 0) {
        // A lane polls the stop word where its thread would: at each run start.
        LaneNonces<Word> at{};
        for (int l = 0; l < kWidth; ++l) {
            if (starting[l] != 0 && active[l] != 0 && launch_stopped(out)) active[l] = 0;
            at.high[l] = static_cast<uint32_t>(nonce[l] >> 32);
            at.low[l] = static_cast<uint32_t>(nonce[l]);
        }
        if (!any_lane(active)) return;
        if (any_lane(starting)) run = select(starting, Runs::template at<Word>(at), run);
        // Steps up to the first lane's run end.
        uint32_t steps = left;
        for (int l = 0; l < kWidth; ++l) steps = kRunNonces - low[l] < steps ? kRunNonces - low[l] : steps;
        for (uint32_t step = 0; step != steps; ++step) {
            const Word w7 = (hex_codes(low + step) << 16) | 0x8000u;
            Word digest[8];
            const Mask passed = (finish_candidate<false>(run, w7, digest) <= pass_word0) & active;
            if (!any_lane(passed)) continue;
            for (int l = 0; l < kWidth; ++l) {
                if (passed[l] == 0) continue;
                uint32_t lane_digest[8];
                finish_candidate<true>(lane_of(run, l), w7[l], lane_digest);
                if (report_candidate(lane_digest, nonce[l] + step, out)) active[l] = 0;
            }
            if (!any_lane(active)) return;
        }
        left -= steps;
        low = (low + steps) % kRunNonces;
        for (int l = 0; l < kWidth; ++l) nonce[l] += steps;
        starting = low == 0u;
    }
}

// The lanes' loop built for each instruction set: only these functions and what they inline
// use AVX2 or AVX-512 instructions, and they run only where the CPU has them.
#if defined(__x86_64__)
template <typename Runs>
__attribute__((target("avx512f"), flatten)) void search_lanes_avx512(uint64_t start_nonce, int loops,
                                                                     const ResultBuffers& out, int lanes) {
    search_lanes<Lanes16, Runs>(start_nonce, loops, out, lanes);
}
template <typename Runs>
__attribute__((target("avx2"), flatten)) void search_lanes_avx2(uint64_t start_nonce, int loops,
                                                                const ResultBuffers& out, int lanes) {
    search_lanes<Lanes8, Runs>(start_nonce, loops, out, lanes);
}
template <typename Runs>
__attribute__((flatten)) void search_lanes_sse2(uint64_t start_nonce, int loops, const ResultBuffers& out, int lanes) {
    search_lanes<Lanes4, Runs>(start_nonce, loops, out, lanes);
}
#endif

// One thread per call, its candidate loop inlined whole like the lanes' loops: left to its
// own judgement the compiler calls some of the unrolled rounds out of line.
template <typename Runs>
__attribute__((flatten)) void search_one_thread(uint64_t start_nonce, int loops, const ResultBuffers& out) {
    search_candidates(start_nonce, loops, out, [](uint64_t nonce) { return Runs::template at<uint32_t>(nonce); });
}

// The threads offered to this call: as many as the widest vector the stand-in allows takes,
// or this one thread alone.
template <typename Runs>
void search_thread_group(uint64_t start_nonce, int loops, const ResultBuffers& out) {
    const unsigned lanes = host_lanes_offered < host_lane_width ? host_lanes_offered : host_lane_width;
#if defined(__x86_64__)
    if (lanes > 1) {
        const int n = static_cast<int>(lanes);
        if (host_lane_width >= 16)
            search_lanes_avx512<Runs>(start_nonce, loops, out, n);
        else if (host_lane_width >= 8)
            search_lanes_avx2<Runs>(start_nonce, loops, out, n);
        else
            search_lanes_sse2<Runs>(start_nonce, loops, out, n);
        host_lanes_taken = lanes;
        return;
    }
#endif
    search_one_thread<Runs>(start_nonce, loops, out);
}

}  // namespace search_detail
