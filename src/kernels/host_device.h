#pragma once
// HOST_DEVICE_INLINE marks the functions that the device code and the host's own engine code
// share: nvcc builds them for both sides; any other compiler (the host back-end's build of
// the kernels included) sees plain inline functions, always inlined, as the kernels' building
// blocks must be.

#if defined(__CUDACC__)
#define HOST_DEVICE_INLINE __host__ __device__ __forceinline__
#else
#define HOST_DEVICE_INLINE inline __attribute__((always_inline))
#endif
