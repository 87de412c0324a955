#include "kernels/kernels.h"
#include "kernels/sha256_constants.h"

__constant__ uint32_t d_K[64] = {SHA256_ROUND_CONSTANTS};
__constant__ uint32_t C[constant_word::count];
