// The search kernels against OpenSSL's SHA-256 of the 158-byte pre-image, with the constant
// block filled by the host code the search uses: on a GPU in a cuda build, and on the host
// device at every vector width the CPU runs (DREVIK_HOST_SIMD), each thread of a call being
// one lane.

#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "gpu_miner/constant_block.h"
#include "gpu_miner/devices.h"
#include "host_devices.h"
#include "kernels/kernels.h"
#include "sha256_reference.h"

namespace {

constexpr uint64_t k2To40 = uint64_t{1} << 40;

enum class Kernel { precomp, fallback };

const char* kernel_name(Kernel kernel) { return kernel == Kernel::precomp ? "precomp" : "fallback"; }

// The six result buffers and the stop word of a launch, on the device.
class ResultBuffers {
public:
    ResultBuffers() {
        EXPECT_EQ(cudaMalloc(&found_flag, sizeof(int)), cudaSuccess);
        EXPECT_EQ(cudaMalloc(&found_nonce, sizeof(uint64_t)), cudaSuccess);
        EXPECT_EQ(cudaMalloc(&found_hash, 32), cudaSuccess);
        EXPECT_EQ(cudaMalloc(&share_flag, sizeof(int)), cudaSuccess);
        EXPECT_EQ(cudaMalloc(&share_nonce, sizeof(uint64_t)), cudaSuccess);
        EXPECT_EQ(cudaMalloc(&share_hash, 32), cudaSuccess);
        EXPECT_EQ(cudaMalloc(&stop_flag, sizeof(int)), cudaSuccess);
    }
    ~ResultBuffers() {
        for (void* p : {static_cast<void*>(found_flag), static_cast<void*>(found_nonce), static_cast<void*>(found_hash),
                        static_cast<void*>(share_flag), static_cast<void*>(share_nonce), static_cast<void*>(share_hash),
                        static_cast<void*>(stop_flag)}) {
            cudaFree(p);
        }
    }
    void reset(int found = 0, uint64_t nonce = 0, int stop = 0) {
        const int zero = 0;
        ASSERT_EQ(cudaMemcpy(stop_flag, &stop, sizeof stop, cudaMemcpyHostToDevice), cudaSuccess);
        ASSERT_EQ(cudaMemcpy(found_flag, &found, sizeof found, cudaMemcpyHostToDevice), cudaSuccess);
        ASSERT_EQ(cudaMemcpy(share_flag, &zero, sizeof zero, cudaMemcpyHostToDevice), cudaSuccess);
        ASSERT_EQ(cudaMemcpy(found_nonce, &nonce, sizeof nonce, cudaMemcpyHostToDevice), cudaSuccess);
        ASSERT_EQ(cudaMemcpy(share_nonce, &nonce, sizeof nonce, cudaMemcpyHostToDevice), cudaSuccess);
    }
    template <typename T>
    static T read(const T* device) {
        T value{};
        EXPECT_EQ(cudaMemcpy(&value, device, sizeof value, cudaMemcpyDeviceToHost), cudaSuccess);
        return value;
    }
    static Digest read_digest(const uint8_t* device) {
        Digest digest{};
        EXPECT_EQ(cudaMemcpy(digest.data(), device, 32, cudaMemcpyDeviceToHost), cudaSuccess);
        return digest;
    }

    int* found_flag = nullptr;
    uint64_t* found_nonce = nullptr;
    uint8_t* found_hash = nullptr;
    int* share_flag = nullptr;
    uint64_t* share_nonce = nullptr;
    uint8_t* share_hash = nullptr;
    int* stop_flag = nullptr;
};

const Target kAllOnes = {~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u};
const Target kZero = {};

// The runs of each test: one on a GPU ("device"), one per vector width on the host device.
std::vector<std::string> device_variants() {
    if (std::string(device_backend_name()) != "host") return {"device"};
    return {"avx512", "avx2", "sse2", "scalar"};
}

// The host device's vector widths this CPU runs.
bool cpu_runs(const std::string& simd) {
#if defined(__x86_64__)
    if (simd == "avx512") return __builtin_cpu_supports("avx512f");
    if (simd == "avx2") return __builtin_cpu_supports("avx2");
    if (simd == "sse2") return true;
#endif
    return simd == "scalar";
}

class KernelTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (GetParam() != "device") {
            if (!cpu_runs(GetParam())) GTEST_SKIP() << "this CPU lacks " << GetParam();
            width.emplace(GetParam());
        }
        std::mt19937_64 random(20240611);
        prefix = random_prefix(random);
        Sha256State midstate;
        const auto chaining = sha256_chaining_value(prefix);
        std::copy(chaining.begin(), chaining.end(), midstate.begin());
        set_window(image, midstate, reinterpret_cast<const uint8_t*>(prefix.data()) + kMidstateBytes);
    }

    Digest expected_digest(uint64_t nonce) const { return sha256_digest(prefix + nonce_text(nonce)); }

    void launch(Kernel kernel, uint64_t start, const Target& block, const Target& share, dim3 grid, dim3 block_shape,
                int loops, int preset_found = 0, int preset_stop = 0) {
        queue_launch(kernel, start, block, share, grid, block_shape, loops, preset_found, preset_stop);
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    }

    // Queues the launch and returns while it runs.
    void queue_launch(Kernel kernel, uint64_t start, const Target& block, const Target& share, dim3 grid,
                      dim3 block_shape, int loops, int preset_found = 0, int preset_stop = 0) {
        set_targets(image, block, share);
        if (kernel == Kernel::precomp) set_launch_digits(image, start);
        ASSERT_EQ(copy_to_constant_block(image.data()), cudaSuccess);
        results.reset(preset_found, kSentinel, preset_stop);
        void* args[] = {&start,
                        &results.found_nonce,
                        &results.found_hash,
                        &results.found_flag,
                        &results.share_nonce,
                        &results.share_hash,
                        &results.share_flag,
                        &results.stop_flag,
                        &loops};
        ASSERT_EQ(cudaLaunchKernel(kernel == Kernel::precomp ? kernel_mine_precomp : kernel_mine_fallback, grid,
                                   block_shape, args, 0, nullptr),
                  cudaSuccess);
    }

    // One thread walking `loops` consecutive nonces from `start`: the first nonce whose
    // digest meets the target must be the one reported, on any device.
    void expect_first_find(Kernel kernel, uint64_t start, int loops, const Target& target) {
        std::optional<uint64_t> expected;
        for (int i = 0; i < loops && !expected; ++i) {
            if (digest_words(expected_digest(start + i)) <= target) expected = start + i;
        }
        launch(kernel, start, target, kZero, dim3(1), dim3(1), loops);
        SCOPED_TRACE(std::string(kernel_name(kernel)) + " from " + nonce_text(start));
        if (!expected) {
            EXPECT_EQ(ResultBuffers::read(results.found_flag), 0);
            EXPECT_EQ(ResultBuffers::read(results.stop_flag), 0);
            return;
        }
        ASSERT_EQ(ResultBuffers::read(results.found_flag), 1);
        EXPECT_EQ(ResultBuffers::read(results.stop_flag), kStopFound);  // which ends the launch's other threads
        EXPECT_EQ(nonce_text(ResultBuffers::read(results.found_nonce)), nonce_text(*expected));
        EXPECT_EQ(ResultBuffers::read_digest(results.found_hash), expected_digest(*expected));
        EXPECT_EQ(ResultBuffers::read(results.share_flag), 0);
    }

    static constexpr uint64_t kSentinel = 0x5e5e5e5e5e5e5e5eull;
    std::optional<HostSimd> width;
    std::string prefix;
    ConstantImage image{};
    ResultBuffers results;
};

// Targets around the digest of `nonce`: equal (a find), one below it (the digest is one
// above: no find), and the first unequal word deciding whatever follows.
std::vector<Target> targets_around(const Digest& digest) {
    const Target words = digest_words(digest);
    Target one_less = words;
    for (int k = 7; k >= 0 && one_less[k]-- == 0; --k) {
    }
    Target word1_above = words;
    ++word1_above[1];
    std::fill(word1_above.begin() + 2, word1_above.end(), 0u);
    Target word1_below = words;
    --word1_below[1];
    std::fill(word1_below.begin() + 2, word1_below.end(), ~0u);
    return {words, one_less, word1_above, word1_below, kAllOnes, kZero};
}

TEST_P(KernelTest, DigestsEqualOpenSslOnBothSidesOfBoundaries) {
    std::mt19937_64 random(7);
    constexpr int kLoops = 6;
    std::vector<uint64_t> starts = {0,
                                    k2To40 - kLoops,
                                    k2To40,
                                    k2To40 - 3,  // crosses 2^40: fallback only
                                    5 * k2To40 - 2,
                                    ~uint64_t{0} - kLoops + 1,
                                    ~uint64_t{0} - 2,  // wraps past 2^64 - 1: fallback only
                                    0x9a9a9a9a9a9a9a9aull};
    for (int i = 0; i < 4; ++i) starts.push_back(random());

    for (const uint64_t start : starts) {
        for (const Kernel kernel : {Kernel::precomp, Kernel::fallback}) {
            if (kernel == Kernel::precomp && !launch_uses_precomp(start, kLoops)) continue;
            for (int i = 0; i < kLoops; ++i) {
                for (const Target& target : targets_around(expected_digest(start + i))) {
                    expect_first_find(kernel, start, kLoops, target);
                }
            }
        }
    }
}

// One thread's walk across a low-byte wrap, where the work that depends on the digits above
// the low byte is redone. The walk's smallest digest is the target, and for these wrap
// points it lies after the wrap: a kernel that kept the digits from before the wrap misses it.
TEST_P(KernelTest, WalksAcrossLowByteWrapsHashTheNewDigits) {
    constexpr int kLoops = 8;
    const uint64_t wraps[] = {
        0x0123456789abce00ull,  // into digit 13
        0x0123456789ac0000ull,  // into digits 10-13
        0x012345f000000000ull,  // up to digit 6
        0x0123460000000000ull,  // into digit 5: fallback only
    };
    for (const uint64_t wrap : wraps) {
        const uint64_t start = wrap - 1;
        uint64_t smallest = start;
        for (int i = 1; i < kLoops; ++i) {
            if (digest_words(expected_digest(start + i)) < digest_words(expected_digest(smallest)))
                smallest = start + i;
        }
        ASSERT_GE(smallest - start, wrap - start) << nonce_text(wrap) << ": the smallest digest lies before the wrap";
        for (const Kernel kernel : {Kernel::precomp, Kernel::fallback}) {
            if (kernel == Kernel::precomp && !launch_uses_precomp(start, kLoops)) continue;
            expect_first_find(kernel, start, kLoops, digest_words(expected_digest(smallest)));
        }
    }
}

// Full 256-thread blocks and several iterations: the one nonce of the launch whose digest
// is the smallest is found, wherever in the grid and in the loop it lies.
TEST_P(KernelTest, GridCoversEveryNonceOfTheLaunchOnce) {
    constexpr int kGrid = 2;
    constexpr int kLoops = 3;
    constexpr uint64_t kCount = uint64_t{kGrid} * kThreadsPerBlock * kLoops;
    for (const uint64_t start : {uint64_t{0x0123456789abcdefull}, k2To40 - kCount / 2}) {
        for (const Kernel kernel : {Kernel::precomp, Kernel::fallback}) {
            if (kernel == Kernel::precomp && !launch_uses_precomp(start, kCount)) continue;
            uint64_t best = start;
            for (uint64_t n = start; n != start + kCount; ++n) {
                if (digest_words(expected_digest(n)) < digest_words(expected_digest(best))) best = n;
            }
            launch(kernel, start, digest_words(expected_digest(best)), kZero, dim3(kGrid), dim3(kThreadsPerBlock),
                   kLoops);
            SCOPED_TRACE(kernel_name(kernel));
            ASSERT_EQ(ResultBuffers::read(results.found_flag), 1);
            EXPECT_EQ(nonce_text(ResultBuffers::read(results.found_nonce)), nonce_text(best));
            EXPECT_EQ(ResultBuffers::read_digest(results.found_hash), expected_digest(best));
        }
    }
}

TEST_P(KernelTest, AllOnesTargetWritesExactlyOneFindFromTheLaunch) {
    constexpr uint64_t kStart = 0x00ff00ff00ff0000ull;
    for (const Kernel kernel : {Kernel::precomp, Kernel::fallback}) {
        launch(kernel, kStart, kAllOnes, kAllOnes, dim3(2), dim3(kThreadsPerBlock), 4);
        SCOPED_TRACE(kernel_name(kernel));
        ASSERT_EQ(ResultBuffers::read(results.found_flag), 1);
        const uint64_t nonce = ResultBuffers::read(results.found_nonce);
        EXPECT_LT(nonce - kStart, uint64_t{2} * kThreadsPerBlock * 4);
        EXPECT_EQ(ResultBuffers::read_digest(results.found_hash), expected_digest(nonce));
        // Every candidate meets the share target too, but a block find is taken first.
        EXPECT_EQ(ResultBuffers::read(results.share_flag), 0);
    }
}

TEST_P(KernelTest, ShareFindIsTakenOnceAndTheSearchGoesOn) {
    constexpr uint64_t kStart = 0x1000;
    for (const Kernel kernel : {Kernel::precomp, Kernel::fallback}) {
        launch(kernel, kStart, kZero, kAllOnes, dim3(2), dim3(kThreadsPerBlock), 2);
        SCOPED_TRACE(kernel_name(kernel));
        EXPECT_EQ(ResultBuffers::read(results.found_flag), 0);
        ASSERT_EQ(ResultBuffers::read(results.share_flag), 1);
        const uint64_t nonce = ResultBuffers::read(results.share_nonce);
        EXPECT_LT(nonce - kStart, uint64_t{2} * kThreadsPerBlock * 2);
        EXPECT_EQ(ResultBuffers::read_digest(results.share_hash), expected_digest(nonce));
    }
}

TEST_P(KernelTest, NothingIsWrittenWithoutAFind) {
    struct Case {
        const char* name;
        Target block;
        Target share;
        int loops;
        int preset_found;
        int preset_stop;
    };
    const Digest digest = expected_digest(0x42);
    const Case cases[] = {
        {"all-zero targets", kZero, kZero, 3, 0, 0},
        {"found flag already set", kAllOnes, kAllOnes, 3, 1, 0},
        {"aborted before it starts", kAllOnes, kAllOnes, 3, 0, kStopAborted},
        {"loops 0", kAllOnes, kAllOnes, 0, 0, 0},
        {"loops -1", kAllOnes, kAllOnes, -1, 0, 0},
        {"share target equal to the block target", digest_words(digest), digest_words(digest), 1, 0, 0},
    };
    for (const Case& c : cases) {
        for (const Kernel kernel : {Kernel::precomp, Kernel::fallback}) {
            SCOPED_TRACE(std::string(c.name) + ", " + kernel_name(kernel));
            const bool single_nonce = c.block == digest_words(digest);
            launch(kernel, 0x42, c.block, c.share, dim3(single_nonce ? 1 : 2),
                   dim3(single_nonce ? 1 : kThreadsPerBlock), c.loops, c.preset_found, c.preset_stop);
            EXPECT_EQ(ResultBuffers::read(results.share_flag), 0);
            if (single_nonce) {
                EXPECT_EQ(ResultBuffers::read(results.found_flag), 1);
                continue;
            }
            EXPECT_EQ(ResultBuffers::read(results.found_flag), c.preset_found);
            EXPECT_EQ(ResultBuffers::read(results.found_nonce), kSentinel);
            EXPECT_EQ(ResultBuffers::read(results.share_nonce), kSentinel);
            if (c.preset_found != 0) continue;  // its block candidates still stop the launch
            EXPECT_EQ(ResultBuffers::read(results.stop_flag), c.preset_stop);
        }
    }
}

// A launch far too long to end by itself (hours on a CPU): the abort copy, queued on a
// non-blocking stream while the launch runs, ends it, and the share found before stays.
TEST_P(KernelTest, AnAbortCopyEndsTheRunningLaunch) {
    constexpr int kLoops = 1 << 30;
    constexpr uint64_t kCandidates = uint64_t{2} * kThreadsPerBlock * kLoops;
    constexpr uint64_t kStart = 0x0123456789000000ull;
    cudaStream_t control_stream = nullptr;
    ASSERT_EQ(cudaStreamCreateWithFlags(&control_stream, cudaStreamNonBlocking), cudaSuccess);
    queue_launch(Kernel::fallback, kStart, kZero, kAllOnes, dim3(2), dim3(kThreadsPerBlock), kLoops);
    // Every candidate is a share: once the flag is up, the launch is running. A copy on the
    // default stream would wait for the launch; the control stream's does not.
    int share = 0;
    while (share == 0) {
        ASSERT_EQ(cudaMemcpyAsync(&share, results.share_flag, sizeof share, cudaMemcpyDeviceToHost, control_stream),
                  cudaSuccess);
        ASSERT_EQ(cudaStreamSynchronize(control_stream), cudaSuccess);
    }
    static const int aborted = kStopAborted;
    ASSERT_EQ(cudaMemcpyAsync(results.stop_flag, &aborted, sizeof aborted, cudaMemcpyHostToDevice, control_stream),
              cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);

    EXPECT_EQ(ResultBuffers::read(results.stop_flag), kStopAborted);
    EXPECT_EQ(ResultBuffers::read(results.found_flag), 0);
    const uint64_t nonce = ResultBuffers::read(results.share_nonce);
    EXPECT_LT(nonce - kStart, kCandidates);
    EXPECT_EQ(ResultBuffers::read_digest(results.share_hash), expected_digest(nonce));
    EXPECT_EQ(cudaStreamDestroy(control_stream), cudaSuccess);
}

// Blocks of 20 threads: a full vector and a partial one at every width. For each thread
// position the launch is shifted until the position holds the launch's smallest digest, and
// that digest as the block target (then as the share target alone) must be reported from
// there. Lanes begin their runs at different steps, some finds lie after a low-byte wrap in
// their thread's walk, and launches near 2^40 cross it (fallback).
TEST_P(KernelTest, EveryLanePositionReportsItsBlockAndShareFinds) {
    constexpr int kThreads = 20;
    struct Case {
        uint64_t base;
        int loops;  // lanes begin their runs at different steps; 300 makes every walk wrap
    };
    const Case cases[] = {
        {k2To40 - kThreads * 37 / 2, 37},
        {0x0123456789abcd00ull - kThreads * 37 / 3, 37},
        {0x00ff00ff00ff0000ull - 77, 300},
    };
    int crossing_launches = 0;
    int finds_after_a_wrap = 0;  // in their thread's walk
    for (const Case& c : cases) {
        const uint64_t count = uint64_t{kThreads} * static_cast<uint32_t>(c.loops);
        for (int position = 0; position < kThreads; ++position) {
            uint64_t start = c.base;
            uint64_t best = start;
            for (int tries = 0;; ++tries) {
                ASSERT_LT(tries, 50) << "no launch with its smallest digest at thread " << position;
                best = start;
                for (uint64_t n = start; n != start + count; ++n) {
                    if (digest_words(expected_digest(n)) < digest_words(expected_digest(best))) best = n;
                }
                if ((best - start) / c.loops == static_cast<uint64_t>(position)) break;
                start = best - uint64_t{static_cast<uint32_t>(position)} * c.loops - (best - start) % c.loops;
            }
            const Target smallest = digest_words(expected_digest(best));
            const bool precomp_allowed = launch_uses_precomp(start, count);
            crossing_launches += precomp_allowed ? 0 : 1;
            const uint64_t first_of_thread = start + uint64_t{static_cast<uint32_t>(position)} * c.loops;
            finds_after_a_wrap += (first_of_thread >> 8) != (best >> 8) ? 1 : 0;
            for (const Kernel kernel : {Kernel::precomp, Kernel::fallback}) {
                if (kernel == Kernel::precomp && !precomp_allowed) continue;
                SCOPED_TRACE(std::string(kernel_name(kernel)) + ", thread " + std::to_string(position) + " from " +
                             nonce_text(start));
                launch(kernel, start, smallest, kZero, dim3(1), dim3(kThreads), c.loops);
                ASSERT_EQ(ResultBuffers::read(results.found_flag), 1);
                EXPECT_EQ(nonce_text(ResultBuffers::read(results.found_nonce)), nonce_text(best));
                EXPECT_EQ(ResultBuffers::read_digest(results.found_hash), expected_digest(best));
                EXPECT_EQ(ResultBuffers::read(results.share_flag), 0);

                launch(kernel, start, kZero, smallest, dim3(1), dim3(kThreads), c.loops);
                EXPECT_EQ(ResultBuffers::read(results.found_flag), 0);
                ASSERT_EQ(ResultBuffers::read(results.share_flag), 1);
                EXPECT_EQ(nonce_text(ResultBuffers::read(results.share_nonce)), nonce_text(best));
                EXPECT_EQ(ResultBuffers::read_digest(results.share_hash), expected_digest(best));
            }
        }
    }
    EXPECT_GT(crossing_launches, 0);
    EXPECT_GT(finds_after_a_wrap, 0);
}

INSTANTIATE_TEST_SUITE_P(Widths, KernelTest, ::testing::ValuesIn(device_variants()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

TEST(MidstateKernel, EqualsOpenSslChainingValue) {
    std::mt19937_64 random(99);
    const std::string data = random_prefix(random) + random_prefix(random);
    uint8_t* device_data = nullptr;
    uint32_t* device_out = nullptr;
    ASSERT_EQ(cudaMalloc(&device_data, data.size()), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&device_out, 32), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(device_data, data.data(), data.size(), cudaMemcpyHostToDevice), cudaSuccess);
    for (int blocks : {-1, 0, 1, 2, 4}) {
        void* args[] = {&device_data, &blocks, &device_out};
        ASSERT_EQ(cudaLaunchKernel(kernel_midstate, dim3(1), dim3(1), args, 0, nullptr), cudaSuccess);
        std::array<uint32_t, 8> state{};
        ASSERT_EQ(cudaMemcpy(state.data(), device_out, 32, cudaMemcpyDeviceToHost), cudaSuccess);
        EXPECT_EQ(state, sha256_chaining_value(data.substr(0, size_t{64} * std::max(blocks, 0))))
            << blocks << " blocks";
    }
    cudaFree(device_data);
    cudaFree(device_out);
}

}  // namespace
