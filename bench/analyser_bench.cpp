// SPDX-License-Identifier: GPL-3.0-or-later
// Throughput of the stream analyser, alone and with the SHA-256 that `check` runs beside it, over
// the bundled samples repeated in memory in deck-sized pieces. "x_realtime" says how many D-VHS HS
// streams (28.2 Mbit/s) one core keeps up with; the target is 100.
//
// The analyser reads little more than each packet's header, so a sample of 2 MB, which stays in
// the processor's cache, measured it at two to three times the rate it has on a stream that comes
// from memory, as a file or a capture does. The samples are therefore repeated into a buffer
// larger than any cache.
#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "stream/capture_data_path.h"
#include "stream/output_file.h"
#include "stream/sha256.h"
#include "stream/stream_context.h"
#include "stream/ts_analyser.h"

using namespace tessaline;

namespace {

constexpr size_t kPiece = 61440;
// Larger than the last-level cache of the machines this runs on (300 MB on the build host).
constexpr size_t kStreamBytes = size_t{512} << 20;
constexpr double kHsBytesPerSecond = 28.2e6 / 8;

// The sample `name` repeated to kStreamBytes; one at a time, to keep the memory taken bounded.
const std::vector<uint8_t>& Sample(const std::string& name) {
    static std::string held;
    static std::vector<uint8_t> bytes;
    if (held != name) {
        held = name;
        bytes.clear();
        bytes.shrink_to_fit();
        std::ifstream in(std::string(TESSALINE_DATA_DIR) + "/" + name, std::ios::binary);
        const std::vector<uint8_t> sample{std::istreambuf_iterator<char>(in), {}};
        if (sample.empty()) return bytes;
        bytes.reserve(kStreamBytes + sample.size());
        while (bytes.size() < kStreamBytes) bytes.insert(bytes.end(), sample.begin(), sample.end());
    }
    return bytes;
}

void Run(benchmark::State& state, const std::string& name, bool hash) {
    const auto& sample = Sample(name);
    if (sample.empty()) {
        state.SkipWithError((name + " not found").c_str());
        return;
    }
    auto analyser = std::make_unique<TsAnalyser>();
    Sha256 sha;
    size_t pos = 0;
    for (auto _ : state) {
        const size_t n = std::min(kPiece, sample.size() - pos);
        analyser->Feed(sample.data() + pos, n);
        if (hash) sha.Update(sample.data() + pos, n);
        pos = (pos + n) % sample.size();
        state.SetBytesProcessed(state.bytes_processed() + static_cast<int64_t>(n));
    }
    benchmark::DoNotOptimize(analyser->Result().packets);
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(state.bytes_processed()) / kHsBytesPerSecond,
                           benchmark::Counter::kIsRate);
}

void BM_AnalyseHd192(benchmark::State& s) {
    Run(s, "sample-hd-192.ts", false);
}
void BM_AnalyseSd188(benchmark::State& s) {
    Run(s, "sample-sd.ts", false);
}
void BM_CheckHd192(benchmark::State& s) {
    Run(s, "sample-hd-192.ts", true);
}

// The live path of a recording written as delivered, with its analysis and the file's hash, as
// `record --report` runs it.
void BM_RecordRawAnalysed(benchmark::State& state) {
    const auto& sample = Sample("sample-hd-192.ts");
    if (sample.empty()) {
        state.SkipWithError("sample-hd-192.ts not found");
        return;
    }
    StreamContext ctx;
    ctx.options.TrimPacket = false;
    OutputFile out;
    out.Create("/dev/null");
    CaptureDataPath path(ctx);
    path.SetOutputFile(&out);
    auto analyser = std::make_unique<TsAnalyser>();
    Sha256 sha;
    path.SetAnalyser(analyser.get());
    ctx.OutputHash = &sha;
    PrepareLiveConversion(ctx);
    size_t pos = 0;
    for (auto _ : state) {
        const size_t n = std::min(kPiece, sample.size() - pos);
        benchmark::DoNotOptimize(path.BufferCB(0.0, sample.data() + pos, static_cast<long>(n)));
        pos = (pos + n) % sample.size();
        state.SetBytesProcessed(state.bytes_processed() + static_cast<int64_t>(n));
    }
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(state.bytes_processed()) / kHsBytesPerSecond,
                           benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_RecordRawAnalysed);
BENCHMARK(BM_AnalyseHd192);
BENCHMARK(BM_AnalyseSd188);
BENCHMARK(BM_CheckHd192);
