#pragma once
// The CUDA C++ language features the kernels use, for compiling them as ordinary C++: the
// qualifiers vanish, thread and block indices are thread-locals set by the launcher, and the
// intrinsics map onto GCC built-ins. A __constant__ variable is a thread-local, so that each
// device has its own copy and launches of different devices run at once: a device's stream
// worker holds its copy, and the other threads of its launches take it (symbols.cpp).

#include <cstdint>

// NOLINTBEGIN(bugprone-reserved-identifier): the names are CUDA's own, which this file stands in for.
#define __global__
#define __device__
#define __host__
#define __constant__ thread_local
#define __forceinline__ inline __attribute__((always_inline))
#define __launch_bounds__(...)

struct uint3 {
    unsigned int x, y, z;
};

struct dim3 {
    unsigned int x, y, z;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
};

inline thread_local uint3 threadIdx{0, 0, 0};
inline thread_local uint3 blockIdx{0, 0, 0};
inline thread_local dim3 blockDim;
inline thread_local dim3 gridDim;

// The stand-in may run several consecutive threads of a block row in one call of a kernel, as
// the lanes of vector words. Before each call it sets host_lanes_offered to the number of
// threads from threadIdx.x the call may take and host_lanes_taken to 1; a kernel that runs
// more of them says how many. host_lane_width is the widest vector the CPU runs (and
// DREVIK_HOST_SIMD allows), in 32-bit lanes: 16 (AVX-512), 8 (AVX2), 4 (SSE2) or 1.
inline thread_local unsigned host_lanes_offered = 1;
inline thread_local unsigned host_lanes_taken = 1;
inline thread_local unsigned host_lane_width = 1;

// Set by the stand-in for a launch under a miss fault (DREVIK_HOST_FAULT): every swap fails,
// as if another thread had won it, so the launch reports no find however long it searches.
inline thread_local bool host_finds_lost = false;

inline int atomicCAS(int* address, int compare, int value) {
    if (host_finds_lost) return ~compare;
    __atomic_compare_exchange_n(address, &compare, value, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return compare;
}

inline int atomicExch(int* address, int value) { return __atomic_exchange_n(address, value, __ATOMIC_SEQ_CST); }

inline unsigned long long atomicAdd(unsigned long long* address, unsigned long long value) {
    return __atomic_fetch_add(address, value, __ATOMIC_SEQ_CST);
}

// Written so that the compiler sees a rotation when lo and hi are the same value.
inline unsigned int __funnelshift_r(unsigned int lo, unsigned int hi, unsigned int shift) {
    shift &= 31;
    return shift == 0 ? lo : (lo >> shift) | (hi << (32 - shift));
}

// The kernels poll flags that other threads of the same launch set by compare-and-swap, with
// a relaxed device-scope atomic load; on the CPU the scope is the process.
#define __NV_ATOMIC_RELAXED __ATOMIC_RELAXED
#define __NV_THREAD_SCOPE_DEVICE 1
inline int __nv_atomic_load_n(const int* address, int order, int /*scope*/) {
    return order == __ATOMIC_RELAXED ? __atomic_load_n(address, __ATOMIC_RELAXED)
                                     : __atomic_load_n(address, __ATOMIC_SEQ_CST);
}
// NOLINTEND(bugprone-reserved-identifier)
