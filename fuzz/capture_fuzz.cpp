// Arbitrary bytes as capture buffers, through the raw, trimmed and program stream paths.
// The first bytes choose the options and how the rest is cut into buffers. Everything stays in
// memory; the file written goes to one sink opened once. One context and data path serve every
// run, as they serve every recording of the program, prepared for each as a recording is.
#include <cstddef>
#include <cstdint>

#include "fuzz/discard_sink.h"
#include "stream/capture_data_path.h"
#include "stream/output_file.h"
#include "stream/stream_context.h"

using namespace tessaline;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint8_t mode = data[0];
    const uint8_t cut_seed = data[1];
    const uint8_t options = data[2];
    data += 3;
    size -= 3;

    static StreamContext& ctx = *new StreamContext;
    static CaptureDataPath& path = *new CaptureDataPath(ctx);
    ctx.options.TrimPacket = (mode & 1) != 0;
    ctx.options.ConvPES = (mode & 2) != 0;
    ctx.options.CheckPts = (options & 1) != 0;
    ctx.options.CheckPrivateStream = (options & 2) != 0;
    ctx.options.SyncByte = (options & 4) != 0;
    ctx.stats.WriteFailures = 0;
    path.SetOutputFile(&Discard());
    ResetCarryOver(ctx);
    PrepareLiveConversion(ctx);

    // Buffer sizes from a small generator seeded by the input, 1 to ~4 KB.
    uint32_t state = cut_seed * 2654435761u + 1;
    size_t pos = 0;
    while (pos < size) {
        state = state * 1103515245u + 12345u;
        size_t n = 1 + (state >> 16) % 4096;
        if (n > size - pos) n = size - pos;
        path.BufferCB(0.0, data + pos, static_cast<long>(n));
        pos += n;
    }
    return 0;
}
