#pragma once
// The search kernels: on the GPU each thread runs the candidate loop of search_runs.cuh, on the
// host back-end one call runs up to a vector of threads (search_lanes.cuh).

#include "kernels/kernels.h"
#include "kernels/search_runs.cuh"
#ifndef __CUDACC__
#include "kernels/search_lanes.cuh"
#endif

namespace search_detail {

// What both kernels do with the runs of their kind: on the GPU each call is one thread that
// takes its runs from `gpu_run`; on the host back-end a call may run several consecutive
// threads as vector lanes (search_lanes.cuh).
template <typename Runs, typename GpuRun>
__device__ __forceinline__ void search_kernel(uint64_t start_nonce, int loops, const ResultBuffers& out,
                                              [[maybe_unused]] GpuRun gpu_run) {
#ifdef __CUDACC__
    search_candidates(start_nonce, loops, out, gpu_run);
#else
    search_thread_group<Runs>(start_nonce, loops, out);
#endif
}

}  // namespace search_detail

__global__ void __launch_bounds__(kThreadsPerBlock, kMinBlocksPerSm)
    kernel_mine_precomp(uint64_t start_nonce, uint64_t* found_nonce, uint8_t* found_hash, int* found_flag,
                        uint64_t* share_nonce, uint8_t* share_hash, int* share_flag, int* stop_flag, int loops) {
    using namespace search_detail;
    search_kernel<PrecompRuns>(start_nonce, loops,
                               {found_nonce, found_hash, found_flag, share_nonce, share_hash, share_flag, stop_flag},
                               precomp_run<uint32_t, uint64_t>);
}

__global__ void __launch_bounds__(kThreadsPerBlock, kMinBlocksPerSm)
    kernel_mine_fallback(uint64_t start_nonce, uint64_t* found_nonce, uint8_t* found_hash, int* found_flag,
                         uint64_t* share_nonce, uint8_t* share_hash, int* share_flag, int* stop_flag, int loops) {
    using namespace search_detail;
    search_kernel<FallbackRuns>(start_nonce, loops,
                                {found_nonce, found_hash, found_flag, share_nonce, share_hash, share_flag, stop_flag},
                                fallback_run<uint32_t, uint64_t>);
}
