// scan: runs files through the capture data path as a deck would deliver them, without writing,
// and prints what a recording of them would show.
#include <cstdio>
#include <fstream>
#include <vector>

#include "stream/capture_data_path.h"
#include "stream/stream_context.h"
#include "tools/cli_common.h"

namespace tessaline::cli {

int ScanCommand(const Args& args) {
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        std::printf(
            "usage: tessaline-cli scan FILE...\n"
            "Feeds each TS file (188- or 192-byte packets) through the capture path as a deck\n"
            "would deliver it, and prints the stream properties a recording would show.\n");
        return args.empty() ? kExitUsage : kExitOk;
    }
    int rc = kExitOk;
    std::vector<char> chunk(61440);
    for (const std::string& name : args) {
        std::ifstream in(name, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "tessaline-cli: cannot open %s\n", name.c_str());
            rc = kExitUsage;
            continue;
        }
        StreamContext ctx;
        ctx.options.TrimPacket = true;
        ctx.options.ConvPES = false;
        CaptureDataPath path(ctx);
        long long total = 0, packets = 0;
        int first_byte = -1;
        while (in) {
            in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
            const auto n = in.gcount();
            if (n <= 0) break;
            if (first_byte < 0) first_byte = static_cast<unsigned char>(chunk[0]);
            total += n;
            const int bytes = path.NormaliseCaptureBuffer(
                reinterpret_cast<const uint8_t*>(chunk.data()), static_cast<int>(n));
            packets += bytes / 188;
            // The converter sees the packets just normalised, as in a recording.
            ConvertCaptureBuffer(ctx, path.output_buffer(), bytes);
        }
        std::printf("%s: %lld bytes, %lld packets of 188 bytes (%s)\n", name.c_str(), total,
                    packets, first_byte == 0x47 ? "TS" : "source packets");
        std::fputs(StatisticsText(ctx.stats).c_str(), stdout);
    }
    return rc;
}

}  // namespace tessaline::cli
