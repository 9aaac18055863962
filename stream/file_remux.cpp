#include "stream/file_remux.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "stream/input_file.h"
#include "stream/output_file.h"
#include "stream/pes_assembler.h"
#include "stream/pid_search.h"
#include "stream/stream_context.h"
#include "stream/ts_format.h"

namespace tessaline {

void WriteBuffered::WriteOut(const uint8_t* bytes, size_t count) {
    if (count == 0) return;
    OutputFile* out = ctx_.ConverterOutput;
    if (out != nullptr && out->Write(bytes, count)) return;
    ctx_.stats.WriteFailures += 1;
    const std::string path = out ? out->path() : std::string("(no output file)");
    const std::string why = out ? out->error() : std::string("not open");
    throw RemuxWriteError("Cannot write " + path + ": " + why);
}

void WriteBuffered::Put(const uint8_t* bytes, size_t count) {
    FileWorkState& f = ctx_.file;
    PumpOneMessage(ctx_);
    uint8_t* buf = f.write_buffer.get();
    if (f.write_fill + count > static_cast<size_t>(kReadBufferSize)) {
        WriteOut(buf, static_cast<size_t>(f.write_fill));
        f.write_fill = 0;
        if (count > static_cast<size_t>(kReadBufferSize)) {  // never from the multiplexer
            WriteOut(bytes, count);
            return;
        }
    } else if (f.FlushPending) {
        WriteOut(buf, static_cast<size_t>(f.write_fill));
        f.write_fill = 0;
        return;
    }
    std::memcpy(buf + f.write_fill, bytes, count);
    f.write_fill += static_cast<int32_t>(count);
}

void ConvertTsFile(StreamContext& ctx, InputFile& input, uint16_t a, uint16_t v, int to_mux) {
    FileWorkState& f = ctx.file;
    f.AllocateBuffers();
    f.write_fill = 0;
    f.PacketSize = 0;
    ctx.mux.MuxFirstRun = true;
    ctx.mux.AvPesWritten = 0;
    f.FlushPending = false;
    ctx.mux.AudioGate = ctx.options.CheckPts ? 0 : 1;
    ctx.mux.VideoGate = 0;
    ctx.stats.ResetTimestamps();
    std::memset(f.read_buffer.get(), 0, kReadBufferSize);
    std::memset(f.write_buffer.get(), 0, kReadBufferSize);
    std::memset(f.probe.get(), 0, kProbeSize);

    const int64_t size = input.Size();
    if (size < 0 || !input.Rewind()) throw SilentAbort(SilentAbort::Reason::ReadError);
    ctx.stats.FileSize = size;

    // With one PID given the other is looked for buffer by buffer, not in the whole file.
    if (v == 0 && a == 0) FindAvPidsInFile(ctx, input, v, a);
    if (!input.Rewind()) throw SilentAbort(SilentAbort::Reason::ReadError);
    ctx.stats.VideoPid = v;
    ctx.stats.AudioPid = a;

    WriteBuffered sink(ctx);
    ipack_s video, audio;  // their buffers go with them on every way out
    InitAssembler(audio, kAssemblerCapacity, &sink, to_mux, ctx);
    InitAssembler(video, kAssemblerCapacity, &sink, to_mux, ctx);

    uint8_t* buf = f.read_buffer.get();
    const bool private_is_audio = ctx.options.CheckPrivateStream;
    while (true) {
        PumpOneMessage(ctx);
        const int n = ReadTsPackets(ctx, input, buf, kReadBufferSize);
        if (n == 0) break;
        ctx.stats.BytesRead += n;
        // Like the whole-file search, these look at the whole buffer.
        if (v == 0) {
            uint16_t scratch;
            FindAvPidsInBuffer(buf, kReadBufferSize, v, scratch, private_is_audio);
            ctx.stats.VideoPid = v;
        }
        if (a == 0) {
            uint16_t scratch;
            FindAvPidsInBuffer(buf, kReadBufferSize, scratch, a, private_is_audio);
            ctx.stats.AudioPid = a;
        }
        for (int pos = 0; pos < n - 1 && n - pos >= kTsPacketSize; pos += kTsPacketSize) {
            const uint8_t* pkt = buf + pos;
            const TsPayload pl = LocatePayload(pkt);
            if (!pl.valid) continue;
            ipack_s* p;
            if (v != 0 && pl.pid == v) {
                p = &video;
            } else if (a != 0 && pl.pid == a) {
                p = &audio;
            } else {
                continue;
            }
            if (pl.unit_start && p->payload_length == kUnboundedPesLength) FinishUnboundedPes(*p);
            RepackPayload(pkt + pl.offset, pl.length, *p);
        }
    }
    f.FlushPending = true;
    sink.Put(nullptr, 0);
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

RemuxJobResult RunRemuxJob(StreamContext& ctx, const std::string& in_path,
                           const std::string& out_path, uint16_t video_pid, uint16_t audio_pid,
                           const std::function<void()>& on_start, const RemuxJobOptions& options) {
    using Outcome = RemuxJobResult::Outcome;
    FileWorkState& f = ctx.file;
    f.RemuxAbort = false;
    ctx.stats.BytesRead = 0;
    ctx.stats.FileSize = 0;
    ctx.stats.VideoPid = 0;
    ctx.stats.AudioPid = 0;
    ctx.stats.VideoValid = 0;
    ctx.stats.AudioValid = 0;
    ctx.stats.WriteFailures = 0;
    ctx.mux.AvPesWritten = 0;

    if (in_path.empty() || out_path.empty())
        return {Outcome::Skipped, "no input or no output file"};
    struct stat st {};
    if (::stat(in_path.c_str(), &st) != 0) return {Outcome::Skipped, in_path + " does not exist"};
    // Writing the output would replace the input: the same name, or the same file by another.
    if (in_path == out_path || SameFile(in_path, out_path))
        return {Outcome::Skipped, "the output " + out_path + " is the input file"};
    InputFile input;
    if (!input.Open(in_path))
        return {Outcome::Skipped, "Cannot open " + in_path + ": " + input.error()};
    OutputFile output;
    if (!output.CreateTemporary(out_path))
        return {Outcome::Skipped, "Cannot create " + out_path + ": " + output.error()};

    if (on_start) on_start();
    OutputFile* previous = ctx.ConverterOutput;
    ctx.ConverterOutput = &output;
    RemuxJobResult result;
    for (bool retried = false;;) {
        try {
            ConvertTsFile(ctx, input, audio_pid, video_pid, 1);
        } catch (const SilentAbort& e) {
            // The packet-size test fails before anything is written, so a second try starts on
            // an empty output.
            if (e.reason() == SilentAbort::Reason::UnknownPacketSize && !retried &&
                options.resync_limit > 0 && output.bytes_written() == 0) {
                retried = true;
                const int64_t at = FindPacketSync(input, options.resync_limit);
                if (at > 0) {
                    input.SetStart(at);
                    result.skipped_bytes = at;
                    continue;
                }
            }
            result = {Outcome::Aborted, e.what()};
            result.skipped_bytes = input.start();
        } catch (const RemuxWriteError& e) {
            result = {Outcome::Failed, e.what()};
        }
        break;
    }
    ctx.ConverterOutput = previous;
    input.Close();

    const bool cancelled = result.outcome == Outcome::Aborted && f.RemuxAbort.load();
    if (result.outcome == Outcome::Done) {
        if (output.bytes_written() == 0 || (options.require_av && ctx.mux.AvPesWritten == 0)) {
            output.Discard();
            result.message = "nothing could be converted; " + out_path + " was not written";
        } else if (output.Commit()) {
            result.output_written = true;
        } else {
            result = {Outcome::Failed, "Cannot write " + out_path + ": " + output.error()};
        }
    } else if (cancelled && output.bytes_written() > 0) {
        // What was converted before the abort is kept, as designed, but never in place of a
        // file that was there before.
        if (output.Commit(false)) {
            result.output_written = true;
        } else {
            result.existing_kept = errno == EEXIST;
        }
    } else {
        output.Discard();
    }
    return result;
}

}  // namespace tessaline
