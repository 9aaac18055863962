// SPDX-License-Identifier: GPL-3.0-or-later
// Cost of comparing a written file with what the deck played back: the bundled HD sample looped
// to 10 copies (23 MB), pushed in deck-sized pieces as the receiving thread does and compared on
// this one. "clean" comes back whole; "damaged" loses 200 packets every 10000 and has one packet
// in 1000 changed, so the search for where both sides agree again runs often. "x_realtime" says
// how many D-VHS HS streams (28.2 Mbit/s) one core keeps up with.
#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "capture/tape_compare.h"

using namespace tessaline;

namespace {

constexpr size_t kPiece = 61440;
constexpr size_t kSource = 192;
constexpr double kHsBytesPerSecond = 28.2e6 / 8;

const std::vector<uint8_t>& Looped() {
    static std::vector<uint8_t> bytes;
    if (bytes.empty()) {
        std::ifstream in(std::string(TESSALINE_DATA_DIR) + "/sample-hd-192.ts", std::ios::binary);
        const std::vector<uint8_t> one(std::istreambuf_iterator<char>(in), {});
        for (int i = 0; i < 10; ++i) bytes.insert(bytes.end(), one.begin(), one.end());
    }
    return bytes;
}

std::vector<uint8_t> Damaged(const std::vector<uint8_t>& tape) {
    std::vector<uint8_t> out;
    out.reserve(tape.size());
    const size_t packets = tape.size() / kSource;
    for (size_t n = 0; n < packets; ++n) {
        if (n % 10000 < 200 && n >= 10000) continue;  // lost
        const size_t at = out.size();
        out.insert(out.end(), tape.begin() + static_cast<long>(n * kSource),
                   tape.begin() + static_cast<long>((n + 1) * kSource));
        if (n % 1000 == 500) out[at + 100] ^= 0x5A;  // changed
    }
    return out;
}

void Compare(benchmark::State& state, bool damaged) {
    const std::vector<uint8_t>& file = Looped();
    if (file.size() < kSource) {
        state.SkipWithError("sample-hd-192.ts not found");
        return;
    }
    const std::vector<uint8_t> tape = damaged ? Damaged(file) : file;
    uint64_t missing = 0;
    for (auto _ : state) {
        ReceivedPackets received;
        for (size_t at = 0; at < tape.size(); at += kPiece) {
            received.Push(tape.data() + at, std::min(kPiece, tape.size() - at));
        }
        received.Finish();
        FilePackets packets;
        std::string error;
        if (!packets.OpenMemory(file.data(), file.size(), "looped.ts", error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        TapeComparer comparer(received);
        const FileComparison c = comparer.Compare(packets, "looped.ts");
        missing = c.missing;
        benchmark::DoNotOptimize(c);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size()));
    state.counters["missing"] = static_cast<double>(missing);
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(file.size()) / kHsBytesPerSecond *
                               static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
}

void BM_CompareClean(benchmark::State& state) {
    Compare(state, false);
}
void BM_CompareDamaged(benchmark::State& state) {
    Compare(state, true);
}

}  // namespace

BENCHMARK(BM_CompareClean)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompareDamaged)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
