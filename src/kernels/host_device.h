#pragma once
// HOST_DEVICE_INLINE marks the functions that the device code and the host's own engine code
// share: nvcc builds them for both sides; any other compiler (the host back-end's build of
// the kernels included) sees plain inline functions, always inlined, as the kernels' building
// blocks must be.
//
// HOST_DEVICE_CALLER goes before such a function template that calls a function it is given:
// nvcc then accepts a device-only callable (a lambda of device code) in an instantiation that
// only device code uses.

#if defined(__CUDACC__)
#define HOST_DEVICE_INLINE __host__ __device__ __forceinline__
#define HOST_DEVICE_CALLER _Pragma("nv_exec_check_disable")
#else
#define HOST_DEVICE_INLINE inline __attribute__((always_inline))
#define HOST_DEVICE_CALLER
#endif
