// Throughput of the capture path: BufferCB over the 192-byte HD sample looped in memory, in deck
// sized buffers, against memcpy of the same bytes. A 24 Mbit/s stream is 3 MB/s; the "x_realtime"
// counter says how many such streams one core could take.
#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "stream/capture_data_path.h"
#include "stream/output_file.h"
#include "stream/stream_context.h"

using namespace tessaline;

namespace {

constexpr size_t kChunk = 61440;  // the virtual deck's default buffer
constexpr double kHdStreamBytesPerSecond = 24e6 / 8;

const std::vector<uint8_t>& Sample() {
    static const std::vector<uint8_t> bytes = [] {
        std::ifstream in(TESSALINE_DATA_DIR "/sample-hd-192.ts", std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }();
    return bytes;
}

void RunCapture(benchmark::State& state, bool trim, bool ps) {
    const auto& sample = Sample();
    if (sample.empty()) {
        state.SkipWithError("sample-hd-192.ts not found");
        return;
    }
    StreamContext ctx;
    ctx.options.TrimPacket = trim;
    ctx.options.ConvPES = ps;
    OutputFile out;
    out.Create("/dev/null");
    CaptureDataPath path(ctx);
    path.SetOutputFile(&out);
    ResetCarryOver(ctx);
    PrepareLiveConversion(ctx);
    size_t pos = 0;
    for (auto _ : state) {
        const size_t n = std::min(kChunk, sample.size() - pos);
        benchmark::DoNotOptimize(path.BufferCB(0.0, sample.data() + pos, static_cast<long>(n)));
        pos = (pos + n) % sample.size();
        state.SetBytesProcessed(state.bytes_processed() + static_cast<int64_t>(n));
    }
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(state.bytes_processed()) / kHdStreamBytesPerSecond,
                           benchmark::Counter::kIsRate);
}

void BM_CapturePs(benchmark::State& s) {
    RunCapture(s, true, true);
}
void BM_CaptureTrimmed(benchmark::State& s) {
    RunCapture(s, true, false);
}
void BM_CaptureRaw(benchmark::State& s) {
    RunCapture(s, false, false);
}

void BM_Memcpy(benchmark::State& state) {
    const auto& sample = Sample();
    std::vector<uint8_t> dst(kChunk);
    size_t pos = 0;
    for (auto _ : state) {
        const size_t n = std::min(kChunk, sample.size() - pos);
        std::memcpy(dst.data(), sample.data() + pos, n);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
        pos = (pos + n) % sample.size();
        state.SetBytesProcessed(state.bytes_processed() + static_cast<int64_t>(n));
    }
}

}  // namespace

BENCHMARK(BM_CapturePs);
BENCHMARK(BM_CaptureTrimmed);
BENCHMARK(BM_CaptureRaw);
BENCHMARK(BM_Memcpy);
BENCHMARK_MAIN();
