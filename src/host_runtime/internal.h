#pragma once
// Shared between the stand-in's own sources only.

#include "cuda_runtime.h"

namespace host_runtime {

int device_count();
int current_device();
// cudaSuccess when the calling thread's current device exists.
cudaError_t current_device_status();
// Puts the symbol contents written to `device` in place before one of its launches. The
// caller holds the launch lock, so devices never see each other's constants.
void install_symbol_images(int device);

}  // namespace host_runtime
