// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary bytes as a written file and as what a deck played back, through the comparison. The
// first bytes choose where the input splits, how the deck's bytes are cut into buffers and how
// small the look-ahead is (small windows reach the search for where both sides agree again
// quickly). One file is compared twice, as two files written one after the other.
#include <cstddef>
#include <cstdint>
#include <string>

#include "capture/tape_compare.h"

using namespace tessaline;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const size_t split = (static_cast<size_t>(data[0]) << 8 | data[1]) % (size - 3);
    const uint8_t cut_seed = data[2];
    const size_t window = 16 + data[3] % 64;
    data += 4;
    size -= 4;
    const uint8_t* file = data;
    const size_t file_size = split;
    const uint8_t* tape = data + split;
    const size_t tape_size = size - split;

    ReceivedPackets received(size_t{1} << 20);
    uint32_t state = cut_seed * 2654435761u + 1;
    for (size_t pos = 0; pos < tape_size;) {
        state = state * 1103515245u + 12345u;
        const size_t n = std::min<size_t>(1 + (state >> 16) % 600, tape_size - pos);
        received.Push(tape + pos, n);
        pos += n;
    }
    received.Finish();

    TapeComparer comparer(received, window);
    for (int i = 0; i < 2; ++i) {
        FilePackets packets;
        std::string error;
        if (!packets.OpenMemory(file, file_size, "fuzz.ts", error)) return 0;
        const FileComparison c = comparer.Compare(packets, "fuzz.ts");
        if (c.matched + c.missing > c.packets) __builtin_trap();
        (void)ComparisonText(c);
        (void)ComparisonJson(c);
    }
    return 0;
}
