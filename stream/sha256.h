// SPDX-License-Identifier: GPL-3.0-or-later
// SHA-256 (FIPS 180-4), fed in pieces of any size while a file is written or read, so that a
// recording's checksum never needs a second pass over the file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tessaline {

class Sha256 {
  public:
    using Digest = std::array<uint8_t, 32>;

    Sha256() { Reset(); }
    void Reset() noexcept;
    void Update(const void* bytes, size_t count) noexcept;
    // The digest of everything fed since the last Reset; the object can go on being fed.
    Digest Final() const noexcept;
    // Final() as 64 lower-case hex digits, the form sha256sum prints.
    std::string Hex() const;
    // Bytes fed since the last Reset.
    uint64_t bytes() const noexcept { return length_; }

    // Tests: the portable code even where the processor has SHA instructions. Returns the
    // setting before.
    static bool SetPortableOnlyForTesting(bool portable) noexcept;

  private:
    void Block(const uint8_t* block) noexcept;
    void Blocks(const uint8_t* data, size_t blocks) noexcept;

    std::array<uint32_t, 8> state_{};
    std::array<uint8_t, 64> pending_{};
    size_t pending_count_ = 0;
    uint64_t length_ = 0;
};

std::string HexDigest(const Sha256::Digest& digest);

// The hex digest of bytes at hand in one piece.
std::string Sha256Hex(const void* bytes, size_t count);

}  // namespace tessaline
