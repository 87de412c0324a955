#pragma once
// The shape every search launch has, which the search kernels are built for.

// Threads per block.
constexpr int kThreadsPerBlock = 256;
// Blocks that must fit on one multiprocessor together, which caps the kernels' registers.
constexpr int kMinBlocksPerSm = 4;
