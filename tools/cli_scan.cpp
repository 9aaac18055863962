// scan: runs files through the capture data path as a deck would deliver them, without writing,
// and prints what a recording of them would show.
#include <cstdio>
#include <vector>

#include "stream/capture_data_path.h"
#include "stream/input_file.h"
#include "stream/stream_context.h"
#include "stream/ts_format.h"
#include "tools/cli_common.h"

namespace tessaline::cli {

int ScanCommand(const Args& args) {
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        std::printf(
            "usage: tessaline-cli scan FILE...\n"
            "Feeds each TS file (188- or 192-byte packets) through the capture path as a deck\n"
            "would deliver it, and prints the stream properties a recording would show.\n"
            "exit: 0 every file holds TS packets, 1 a file cannot be read (a folder, a pipe, a\n"
            "read error), 3 a file holds no TS packets (empty, or not a transport stream)\n");
        return args.empty() ? kExitUsage : kExitOk;
    }
    bool unreadable = false;
    bool no_packets = false;
    std::vector<uint8_t> chunk(61440);
    for (const std::string& name : args) {
        InputFile in;
        if (!in.Open(name)) {
            std::fprintf(stderr, "tessaline-cli: cannot read %s: %s\n", name.c_str(),
                         in.error().c_str());
            unreadable = true;
            continue;
        }
        StreamContext ctx;
        ctx.options.TrimPacket = true;
        ctx.options.ConvPES = false;
        CaptureDataPath path(ctx);
        long long total = 0, packets = 0, synced = 0;
        int first_byte = -1;
        bool read_error = false;
        for (;;) {
            const long n = in.Read(chunk.data(), chunk.size());
            if (n < 0) {
                read_error = true;
                break;
            }
            if (n == 0) break;
            if (first_byte < 0) first_byte = chunk[0];
            total += n;
            const int bytes = path.NormaliseCaptureBuffer(chunk.data(), static_cast<int>(n));
            packets += bytes / kTsPacketSize;
            const uint8_t* out = path.output_buffer();
            for (int at = 0; at + kTsPacketSize <= bytes; at += kTsPacketSize) {
                if (out[at] == kTsSyncByte) ++synced;
            }
            // The converter sees the packets just normalised, as in a recording.
            ConvertCaptureBuffer(ctx, out, bytes);
        }
        if (read_error) {
            std::fprintf(stderr, "tessaline-cli: cannot read %s: %s\n", name.c_str(),
                         in.error().c_str());
            unreadable = true;
            continue;
        }
        std::printf("%s: %lld bytes, %lld packets of 188 bytes (%s)\n", name.c_str(), total,
                    packets, first_byte == 0x47 ? "TS" : "source packets");
        std::fputs(StatisticsText(ctx.stats).c_str(), stdout);
        // A transport stream, even a damaged one, has its sync byte in most packets; bytes of
        // anything else have it in one packet of 256.
        if (packets == 0 || synced * 2 < packets) {
            std::fprintf(stderr, "tessaline-cli: %s: no TS packets found\n", name.c_str());
            no_packets = true;
        }
    }
    if (unreadable) return kExitFailure;
    return no_packets ? kExitNoResult : kExitOk;
}

}  // namespace tessaline::cli
