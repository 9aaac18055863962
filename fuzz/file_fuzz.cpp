// Arbitrary file contents through the PID search and the file converter.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "stream/file_remux.h"
#include "stream/input_file.h"
#include "stream/pid_search.h"
#include "stream/stream_context.h"

using namespace tessaline;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t options = data[0];
    data += 1;
    size -= 1;

    // The input lives in memory but is read through a path, as a real file is.
    const int fd = memfd_create("tessaline-fuzz", MFD_CLOEXEC);
    if (fd < 0) return 0;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    StreamContext ctx;
    ctx.options.CheckPts = (options & 1) != 0;
    ctx.options.CheckPrivateStream = (options & 2) != 0;
    ctx.options.SyncByte = (options & 4) != 0;

    // The PID search button.
    {
        InputFile in;
        if (in.Open(path)) {
            ctx.stats.FileSize = in.Size();
            ctx.file.PacketSize = 0;
            uint16_t v = 0, a = 0;
            try {
                FindAvPidsInFile(ctx, in, v, a);
            } catch (const SilentAbort&) {
            }
        }
    }
    // A batch job, with PIDs from the input's option bits or searched.
    const uint16_t vpid = (options & 8) ? 0x100 : 0;
    const uint16_t apid = (options & 16) ? 0x101 : 0;
    RunRemuxJob(ctx, path, "/dev/null", vpid, apid);
    close(fd);
    return 0;
}
