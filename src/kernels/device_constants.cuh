#pragma once
// The constant block, laid out as constant_word describes; host-order words. Defined here,
// included only by the device code's one translation unit (kernels.cu).

#include <cstdint>

#include "kernels/constant_layout.h"

__constant__ uint32_t C[constant_word::count];
