#pragma once

#include <cstdint>
#include <cstring>

namespace tessaline {

// The bytes of an incomplete packet at the end of one capture buffer, put in front of the next.
// It holds fewer than 192 bytes once the packet size is known, and up to 196 while a buffer is
// still too short to tell 188 from 192 bytes.
struct CarryOverArea {
    static constexpr int kCapacity = 384;
    uint8_t bytes[kCapacity] = {};
    int32_t count = 0;

    void Reset() noexcept {
        count = 0;
        std::memset(bytes, 0, sizeof bytes);
    }
};

}  // namespace tessaline
