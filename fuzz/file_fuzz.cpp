// Arbitrary file contents through the PID search and the file converter. The input is read from
// memory and the program stream goes to one sink opened once, so a run costs no files; one
// context serves every run, as one serves every job of a batch, so its large work areas are
// allocated once (the converter clears them for each file).
#include <cstddef>
#include <cstdint>

#include "fuzz/discard_sink.h"
#include "stream/file_remux.h"
#include "stream/input_file.h"
#include "stream/output_file.h"
#include "stream/pid_search.h"
#include "stream/stream_context.h"

using namespace tessaline;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t options = data[0];
    data += 1;
    size -= 1;

    static StreamContext& ctx = *new StreamContext;
    ctx.file.RemuxAbort = false;
    ctx.options.CheckPts = (options & 1) != 0;
    ctx.options.CheckPrivateStream = (options & 2) != 0;
    ctx.options.SyncByte = (options & 4) != 0;
    InputFile in;
    in.OpenMemory(data, size, "fuzz-input");

    // The PID search button.
    ctx.stats.FileSize = in.Size();
    ctx.file.PacketSize = 0;
    uint16_t v = 0, a = 0;
    try {
        FindAvPidsInFile(ctx, in, v, a);
    } catch (const SilentAbort&) {
    }

    // A batch job, with PIDs from the input's option bits or searched.
    const uint16_t vpid = (options & 8) ? 0x100 : 0;
    const uint16_t apid = (options & 16) ? 0x101 : 0;
    ctx.ConverterOutput = &Discard();
    // The command-line remux looks for packet sync again wherever it is lost.
    const int64_t resync = (options & 32) ? 1 << 20 : 0;
    try {
        ConvertTsFile(ctx, in, apid, vpid, 1, resync);
    } catch (const SilentAbort& e) {
        // The command-line remux: a damaged start is passed over to the first packet sync.
        if (e.reason() == SilentAbort::Reason::UnknownPacketSize) {
            const int64_t at = FindPacketSync(in, 1 << 20);
            if (at > 0) {
                in.SetStart(at);
                try {
                    ConvertTsFile(ctx, in, apid, vpid, 1, resync);
                } catch (const SilentAbort&) {
                } catch (const RemuxWriteError&) {
                }
            }
        }
    } catch (const RemuxWriteError&) {
    }
    ctx.ConverterOutput = nullptr;
    return 0;
}
