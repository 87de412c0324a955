#include "gpu_miner/self_test.h"

#include <string>

// The known answers were found with SHA-256 over every nonce of each range; the engine's
// self-test test checks them against OpenSSL.
const char kSelfTestPrefix[] =
    "0bb74a2eb59756f4dd0cb24a00dc96cdb73400680653500b08df79bdad86124b3fd97a5edc0576"
    "669b2df2793a1fd5bffc120c53f5f8eca4b4082e9d7afa0c4cb67eec2aa6b801";

const std::array<SelfTestLaunch, 4> kSelfTestLaunches = {{
    {true, false, 0x3a7fc2e19b15d480, 0x3a7fc2e19b18f877,
     "0000350a0b9283a3f4a57d3d1c598763985886d3c1dbf9e5818c9716c228bf8c"},
    {true, true, 0x3a7fc2e19b15d480, 0x3a7fc2e19b18f877,
     "0000350a0b9283a3f4a57d3d1c598763985886d3c1dbf9e5818c9716c228bf8c"},
    {false, false, 0xb7e4a9fffffe0080, 0xb7e4aa0000007d58,
     "000005ae12b76eab4f07b6f453500f10cd4235f413f7c3746d0427b1ac379050"},
    {false, true, 0xb7e4a9fffffe0080, 0xb7e4aa0000007d58,
     "000005ae12b76eab4f07b6f453500f10cd4235f413f7c3746d0427b1ac379050"},
}};

namespace {

const char* kind(bool share) { return share ? "share" : "block"; }

}  // namespace

std::string self_test_fault(const SelfTestLaunch& launch, const FindReport& expected, const FindReport& other) {
    const std::string kernel = launch.precomp ? "precomp kernel " : "fallback kernel ";
    const std::string known = nonce_text(launch.nonce);
    if (!expected.found) return kernel + "missed " + kind(launch.share) + " nonce " + known;
    if (expected.nonce != launch.nonce) {
        return kernel + "reported " + kind(launch.share) + " nonce " + nonce_text(expected.nonce) + ", not " + known;
    }
    const std::string digest = hex_encode(expected.digest.data(), expected.digest.size());
    if (digest != launch.digest) {
        return kernel + "reported a wrong digest for " + kind(launch.share) + " nonce " + known + ": " +
               digest.substr(0, 16) + "...";
    }
    if (other.found) {
        return kernel + "reported " + kind(!launch.share) + " nonce " + nonce_text(other.nonce) + ", expected no " +
               kind(!launch.share);
    }
    return "";
}

Target target_at(const char* digest) {
    Target target{};
    for (size_t word = 0; word < target.size(); ++word) {
        target[word] = static_cast<uint32_t>(std::stoul(std::string(digest + 8 * word, 8), nullptr, 16));
    }
    return target;
}
