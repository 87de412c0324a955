#include "kernels/kernels.h"
#include "kernels/sha256_device.h"

using namespace sha256_device;

namespace {

// The found flag is polled this often; a thread that misses a find runs at most this many
// extra candidates.
constexpr int kPollInterval = 128;

struct ResultBuffers {
    uint64_t* found_nonce;
    uint8_t* found_hash;
    int* found_flag;
    uint64_t* share_nonce;
    uint8_t* share_hash;
    int* share_flag;
};

// Tests one candidate's digest against both targets. Returns true when the thread must stop:
// the candidate is a block find, whether or not this thread won the result buffers.
__device__ __forceinline__ bool report_candidate(const uint32_t (&digest)[8], uint64_t nonce,
                                                 const ResultBuffers& out) {
    if (meets_target(digest, constant_word::block_target)) {
        if (atomicCAS(out.found_flag, 0, 1) == 0) {
            *out.found_nonce = nonce;
            store_digest(out.found_hash, digest);
        }
        return true;
    }
    // Testing the target before the flag spares a flag read per candidate; the outcome is
    // the same, and a stale flag only costs a swap that fails.
    if (meets_target(digest, constant_word::share_target) && __ldg(out.share_flag) == 0 &&
        atomicCAS(out.share_flag, 0, 1) == 0) {
        *out.share_nonce = nonce;
        store_digest(out.share_hash, digest);
    }
    return false;
}

__device__ __forceinline__ void finish_digest(uint32_t (&digest)[8], const uint32_t (&s)[8]) {
    unrolled<8>([&](auto k) {
        digest[decltype(k)::value] = C[constant_word::midstate + decltype(k)::value] + s[decltype(k)::value];
    });
}

// Message words W8-W14 are zero and W15 is the bit length for every candidate.
__device__ __forceinline__ void padding_words(uint32_t (&w)[16]) {
    unrolled<7>([&](auto k) { w[8 + decltype(k)::value] = 0; });
    w[15] = kPreimageBits;
}

// The candidate loop of both kernels. Each thread starts from the state entering round
// StartRound (eight words of C from `state_base`), with that round worked out once except
// for its message word; `head` places the words below W5 that rounds StartRound on read, and
// the schedule is extended in place from round FirstExtended.
template <int StartRound, int FirstExtended, typename Head>
__device__ __forceinline__ void search_candidates(int state_base, uint64_t start_nonce, int loops,
                                                  const ResultBuffers& out, Head head) {
    if (loops < 1) return;
    const uint32_t thread = blockIdx.x * blockDim.x + threadIdx.x;
    const uint32_t stride = gridDim.x * blockDim.x;
    uint64_t nonce = start_nonce + thread;

    uint32_t start[8];
    load_state<StartRound>(start, state_base);
    const HoistedRound first = hoist_round<StartRound>(start);

    for (int i = 0; i < loops; ++i, nonce += stride) {
        if ((i & (kPollInterval - 1)) == 0 && __ldg(out.found_flag) != 0) return;
        uint32_t w[16];
        head(nonce, w);
        nonce_low_words(nonce, w);
        padding_words(w);

        uint32_t s[8];
        unrolled<8>([&](auto k) { s[decltype(k)::value] = start[decltype(k)::value]; });
        hoisted_round_step<StartRound>(s, first, w[StartRound]);
        rounds_to_end<StartRound + 1, FirstExtended>(s, w);

        uint32_t digest[8];
        finish_digest(digest, s);
        if (report_candidate(digest, nonce, out)) return;
    }
}

}  // namespace

// Starts from the state after rounds 0-4, which already holds nonce digits 0-5, and runs
// rounds 5-63; W16-W19 come ready from C. The schedule window is laid out so that round r
// finds W(r) at w[r & 15]: W16-W19 take the places of W0-W3, which these rounds never read.
__global__ void __launch_bounds__(256, 4)
    kernel_mine_precomp(uint64_t start_nonce, uint64_t* found_nonce, uint8_t* found_hash, int* found_flag,
                        uint64_t* share_nonce, uint8_t* share_hash, int* share_flag, int loops) {
    search_candidates<5, 20>(constant_word::state_after_5, start_nonce, loops,
                             {found_nonce, found_hash, found_flag, share_nonce, share_hash, share_flag},
                             [](uint64_t, uint32_t(&w)[16]) {
                                 w[0] = C[constant_word::w16];
                                 w[1] = C[constant_word::w17];
                                 w[2] = C[constant_word::w18];
                                 w[3] = C[constant_word::w19];
                                 w[4] = C[constant_word::w4];
                             });
}

// Starts from the state after rounds 0-2 and forms all sixteen nonce digits itself, so any
// nonce range works; W16 and W17 come from C, W2 stays in the window for W18.
__global__ void __launch_bounds__(256, 4)
    kernel_mine_fallback(uint64_t start_nonce, uint64_t* found_nonce, uint8_t* found_hash, int* found_flag,
                         uint64_t* share_nonce, uint8_t* share_hash, int* share_flag, int loops) {
    search_candidates<3, 18>(constant_word::state_after_3, start_nonce, loops,
                             {found_nonce, found_hash, found_flag, share_nonce, share_hash, share_flag},
                             [](uint64_t nonce, uint32_t(&w)[16]) {
                                 w[0] = C[constant_word::w16];
                                 w[1] = C[constant_word::w17];
                                 w[2] = C[constant_word::w2];
                                 w[3] = C[constant_word::w3_base] | (hex_codes(static_cast<uint32_t>(nonce >> 56)) & 0xffffu);
                                 w[4] = hex_codes(static_cast<uint32_t>(nonce >> 40) & 0xffffu);
                             });
}
