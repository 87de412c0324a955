# Chooses the device back-end: "cuda" (nvcc, the real runtime) or "host" (the CPU stand-in
# for the CUDA runtime under src/host_runtime). "auto" takes cuda only where both nvcc and
# the NVIDIA driver's own libcuda.so.1 exist; the toolkit's link stub does not count.
set(DREVIK_DEVICE auto CACHE STRING "Device back-end: auto, host or cuda")
set_property(CACHE DREVIK_DEVICE PROPERTY STRINGS auto host cuda)

if(DREVIK_DEVICE STREQUAL "auto")
  find_program(DREVIK_NVCC nvcc HINTS /usr/local/cuda/bin)
  find_library(DREVIK_LIBCUDA NAMES libcuda.so.1
    PATHS /usr/lib/x86_64-linux-gnu /usr/lib/aarch64-linux-gnu /usr/lib64 /usr/lib /usr/lib/wsl/lib
    NO_CMAKE_PATH NO_CMAKE_ENVIRONMENT_PATH NO_CMAKE_SYSTEM_PATH)
  if(DREVIK_NVCC AND DREVIK_LIBCUDA AND NOT DREVIK_LIBCUDA MATCHES "/stubs/")
    set(DREVIK_DEVICE_BACKEND cuda)
  else()
    set(DREVIK_DEVICE_BACKEND host)
  endif()
elseif(DREVIK_DEVICE STREQUAL "host" OR DREVIK_DEVICE STREQUAL "cuda")
  set(DREVIK_DEVICE_BACKEND ${DREVIK_DEVICE})
else()
  message(FATAL_ERROR "DREVIK_DEVICE must be auto, host or cuda (got '${DREVIK_DEVICE}')")
endif()
message(STATUS "drevik-miner device back-end: ${DREVIK_DEVICE_BACKEND} (DREVIK_DEVICE=${DREVIK_DEVICE})")

if(DREVIK_DEVICE_BACKEND STREQUAL "cuda")
  if(NOT CMAKE_CUDA_COMPILER)
    find_program(CMAKE_CUDA_COMPILER nvcc HINTS /usr/local/cuda/bin)
  endif()
  if(NOT DEFINED CMAKE_CUDA_ARCHITECTURES)
    # Machine code for every generation from Turing to Blackwell, and PTX for the oldest and
    # the newest: a later GPU compiles the newest PTX when the program loads.
    set(CMAKE_CUDA_ARCHITECTURES 75 80-real 86-real 89-real 90-real 100-real 120)
  endif()
  # The CUDA runtime every target links: Static (the default; the program then runs with the
  # driver alone) or Shared (libcudart.so, found through the system's library path at run time).
  set(CMAKE_CUDA_RUNTIME_LIBRARY Static CACHE STRING "CUDA runtime library: Static or Shared")
  set_property(CACHE CMAKE_CUDA_RUNTIME_LIBRARY PROPERTY STRINGS Static Shared)
  enable_language(CUDA)
  set(CMAKE_CUDA_STANDARD 17)
  set(CMAKE_CUDA_STANDARD_REQUIRED ON)
  find_package(CUDAToolkit REQUIRED)
endif()

# Marks sources that hold device code or launch kernels: nvcc compiles them for the cuda
# back-end, the host compiler (as C++) for the host back-end. Call it in the directory that
# defines the target, as source properties are per directory.
function(drevik_device_sources)
  if(DREVIK_DEVICE_BACKEND STREQUAL "cuda")
    set_source_files_properties(${ARGN} PROPERTIES LANGUAGE CUDA)
  else()
    set_source_files_properties(${ARGN} PROPERTIES LANGUAGE CXX)
  endif()
endfunction()
