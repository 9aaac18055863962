// SPDX-License-Identifier: GPL-3.0-or-later
#include "stream/sha256.h"

#include <cstring>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define TESSALINE_SHA_NI 1
#endif

namespace tessaline {
namespace {

constexpr std::array<uint32_t, 64> kRound = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t Rotr(uint32_t x, int n) noexcept {
    return (x >> n) | (x << (32 - n));
}

#ifdef TESSALINE_SHA_NI
// The processor's SHA extensions: four rounds an instruction pair, several times the portable
// code's speed. The state is kept in the ABEF/CDGH order the instructions want.
__attribute__((target("sha,sse4.1,ssse3"))) void BlocksShaNi(uint32_t* state, const uint8_t* data,
                                                             size_t blocks) {
    const __m128i kByteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
    __m128i state1 =
        _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);
    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abef = state0;
        const __m128i cdgh = state1;
        __m128i w[4];
        for (int i = 0; i < 4; ++i) {
            w[i] = _mm_shuffle_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), kByteSwap);
        }
        for (int i = 0; i < 16; ++i) {
            __m128i& now = w[i % 4];
            __m128i message = _mm_add_epi32(
                now, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound.data() + 4 * i)));
            state1 = _mm_sha256rnds2_epu32(state1, state0, message);
            if (i >= 3 && i <= 14) {  // the next four words of the schedule
                __m128i& next = w[(i + 1) % 4];
                next = _mm_add_epi32(next, _mm_alignr_epi8(now, w[(i + 3) % 4], 4));
                next = _mm_sha256msg2_epu32(next, now);
            }
            message = _mm_shuffle_epi32(message, 0x0E);
            state0 = _mm_sha256rnds2_epu32(state0, state1, message);
            if (i >= 1 && i <= 12) w[(i + 3) % 4] = _mm_sha256msg1_epu32(w[(i + 3) % 4], now);
        }
        state0 = _mm_add_epi32(state0, abef);
        state1 = _mm_add_epi32(state1, cdgh);
    }
    tmp = _mm_shuffle_epi32(state0, 0x1B);
    state1 = _mm_shuffle_epi32(state1, 0xB1);
    state0 = _mm_blend_epi16(tmp, state1, 0xF0);
    state1 = _mm_alignr_epi8(state1, tmp, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), state1);
}

bool CpuHasShaNi() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_SSE4_1) || !(c & bit_SSSE3)) return false;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return (b & bit_SHA) != 0;
}
#endif

bool g_portable_only = false;

bool UseShaNi() {
#ifdef TESSALINE_SHA_NI
    static const bool available = CpuHasShaNi();
    return available && !g_portable_only;
#else
    return false;
#endif
}

}  // namespace

bool Sha256::SetPortableOnlyForTesting(bool portable) noexcept {
    return std::exchange(g_portable_only, portable);
}

void Sha256::Blocks(const uint8_t* data, size_t blocks) noexcept {
#ifdef TESSALINE_SHA_NI
    if (UseShaNi()) {
        BlocksShaNi(state_.data(), data, blocks);
        return;
    }
#endif
    for (; blocks > 0; --blocks, data += 64) Block(data);
}

void Sha256::Reset() noexcept {
    state_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
              0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    pending_count_ = 0;
    length_ = 0;
}

void Sha256::Block(const uint8_t* block) noexcept {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
        w[i] = (uint32_t{block[4 * i]} << 24) | (uint32_t{block[4 * i + 1]} << 16) |
               (uint32_t{block[4 * i + 2]} << 8) | uint32_t{block[4 * i + 3]};
    }
    for (int i = 16; i < 64; ++i) {
        const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
    for (int i = 0; i < 64; ++i) {
        const uint32_t s1 = Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25);
        const uint32_t ch = (e & f) ^ (~e & g);
        const uint32_t t1 = h + s1 + ch + kRound[static_cast<size_t>(i)] + w[i];
        const uint32_t s0 = Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22);
        const uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
        const uint32_t t2 = s0 + maj;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
    state_[4] += e;
    state_[5] += f;
    state_[6] += g;
    state_[7] += h;
}

void Sha256::Update(const void* bytes, size_t count) noexcept {
    const auto* p = static_cast<const uint8_t*>(bytes);
    length_ += count;
    if (pending_count_ != 0) {
        const size_t take = std::min(count, pending_.size() - pending_count_);
        std::memcpy(pending_.data() + pending_count_, p, take);
        pending_count_ += take;
        p += take;
        count -= take;
        if (pending_count_ < pending_.size()) return;
        Blocks(pending_.data(), 1);
        pending_count_ = 0;
    }
    Blocks(p, count / 64);
    p += count / 64 * 64;
    count %= 64;
    if (count != 0) std::memcpy(pending_.data(), p, count);
    pending_count_ = count;
}

Sha256::Digest Sha256::Final() const noexcept {
    Sha256 tail = *this;
    const uint64_t bits = length_ * 8;
    uint8_t pad[72] = {0x80};
    const size_t pad_count = (pending_count_ < 56 ? 56 : 120) - pending_count_;
    for (int i = 0; i < 8; ++i)
        pad[pad_count + static_cast<size_t>(i)] = uint8_t(bits >> (56 - 8 * i));
    tail.Update(pad, pad_count + 8);
    Digest out;
    for (size_t i = 0; i < 8; ++i) {
        out[4 * i] = static_cast<uint8_t>(tail.state_[i] >> 24);
        out[4 * i + 1] = static_cast<uint8_t>(tail.state_[i] >> 16);
        out[4 * i + 2] = static_cast<uint8_t>(tail.state_[i] >> 8);
        out[4 * i + 3] = static_cast<uint8_t>(tail.state_[i]);
    }
    return out;
}

std::string HexDigest(const Sha256::Digest& digest) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(64);
    for (uint8_t b : digest) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

std::string Sha256::Hex() const {
    return HexDigest(Final());
}

std::string Sha256Hex(const void* bytes, size_t count) {
    Sha256 h;
    h.Update(bytes, count);
    return h.Hex();
}

}  // namespace tessaline
