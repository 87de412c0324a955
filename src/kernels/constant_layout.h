#pragma once
// Word offsets into the constant block C that the host fills before every search launch
// (32-bit words in device order).

namespace constant_word {
constexpr int midstate = 0;        // 8 words: chaining value after the prefix's two full blocks
constexpr int state_after_3 = 8;   // 8 words: a..h after rounds 0-2 of the last block
constexpr int state_after_5 = 16;  // 8 words: a..h after rounds 0-4 (precomp launches)
constexpr int w0 = 24;
constexpr int w1 = 25;
constexpr int w2 = 26;
constexpr int w3_base = 27;       // prefix bytes 140-141 in the top half, nonce digits 0-1 left zero
constexpr int block_target = 28;  // 8 words, word 0 most significant
constexpr int share_target = 36;  // 8 words
constexpr int w16 = 44;
constexpr int w17 = 45;
constexpr int w3 = 46;  // precomp launches: W3 with the launch's nonce digits 0-1
constexpr int w4 = 47;  // precomp launches: nonce digits 2-5
constexpr int w18 = 48;
constexpr int w19 = 49;
// Always 1: the multiplier that turns an addition into a multiply-add the compiler cannot
// fold back (see sha256_device::add).
constexpr int one = 50;
// The parts of W31-W34 that do not depend on nonce digits 6-15: σ0(W(r-15)) + W(r-16).
constexpr int w31_part = 51;  // σ0(W16) + W15, per window
constexpr int w32_part = 52;  // σ0(W17) + W16, per window
constexpr int w33_part = 53;  // σ0(W18) + W17, precomp launches
constexpr int w34_part = 54;  // σ0(W19) + W18, precomp launches
// Always 2^29 and 2^22: multipliers whose high product words are x >> 3 and x >> 10, the
// shifts of σ0 and σ1 (see sha256_device::shift_right).
constexpr int shift_3 = 55;
constexpr int shift_10 = 56;
constexpr int count = 57;
}  // namespace constant_word

// The bit length of the 158-byte pre-image, the last message word of its final block.
constexpr unsigned int kPreimageBits = 1264;
