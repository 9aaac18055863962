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

namespace {

// Watches the packets of a conversion for lost packet sync, by file offset. A packet whose sync
// byte alone is damaged (the next one has its own) is no loss: it is converted as it stands.
class SyncWatch {
  public:
    SyncWatch(StreamContext& ctx, InputFile& input, int64_t resync_limit)
        : ctx_(ctx), input_(input), resync_limit_(resync_limit) {
        ctx_.file.sync_gaps.clear();
    }

    // The file offset of the next packet read, and the file's end.
    void Start(int64_t at, int64_t end) {
        next_ = at;
        end_ = end;
    }
    // A buffer of count converted packets was read from next().
    int64_t TakeBuffer(int packets) {
        const int64_t at = next_;
        next_ += static_cast<int64_t>(packets) * ctx_.file.PacketSize;
        return at;
    }

    enum class Step { Convert, Resynced, Stop };
    // The packet at file offset at: convert it, or (resyncing) go on from the place found, or
    // stop converting.
    Step Check(const uint8_t* packet, int64_t at, uint16_t v, uint16_t a) {
        const int size = ctx_.file.PacketSize;
        if (packet[0] == kTsSyncByte) {
            if (lost_ && SyncAt(at + size)) {
                // Back in step (the shifts of two places added up to whole packets).
                gap_.resumed_at = at;
                gap_.unconverted = at - gap_.at;
                Keep(gap_);
                lost_ = false;
            }
            return Step::Convert;
        }
        if (lost_ || SyncAt(at + size)) return Step::Convert;
        if (resync_limit_ <= 0) {
            // As designed, the converter does not look for sync again: it reads on, and says
            // at the end how much it could not convert.
            lost_ = true;
            gap_ = SyncGap{};
            gap_.at = at;
            return Step::Convert;
        }
        const SyncGap gap = FindSyncAfter(input_, at, resync_limit_, size, v, a);
        Keep(gap);
        if (gap.resumed_at < 0 || !input_.Seek(gap.resumed_at)) return Step::Stop;
        next_ = gap.resumed_at;
        return Step::Resynced;
    }

    // The end of the file (or of converting): a loss still open runs to it.
    void Finish() {
        if (!lost_) return;
        gap_.unconverted = end_ - gap_.at;
        Keep(gap_);
        lost_ = false;
    }

  private:
    bool SyncAt(int64_t offset) {
        const int sync = ctx_.file.PacketSize == kSourcePacketSize ? kSourceHeaderSize : 0;
        uint8_t byte = 0;
        // Beyond the end there is no next packet to disagree.
        if (offset + sync >= end_) return true;
        return input_.ReadAt(offset + sync, &byte, 1) == 1 && byte == kTsSyncByte;
    }
    void Keep(const SyncGap& gap) {
        if (ctx_.file.sync_gaps.size() < kMaxSyncGaps) ctx_.file.sync_gaps.push_back(gap);
    }

    StreamContext& ctx_;
    InputFile& input_;
    int64_t resync_limit_;
    int64_t next_ = 0;
    int64_t end_ = 0;
    bool lost_ = false;
    SyncGap gap_;
};

}  // namespace

void ConvertTsFile(StreamContext& ctx, InputFile& input, uint16_t a, uint16_t v, int to_mux,
                   int64_t resync_limit) {
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
    SyncWatch watch(ctx, input, resync_limit);

    const int64_t size = input.Size();
    if (size < 0 || !input.Rewind()) throw SilentAbort(SilentAbort::Reason::ReadError);
    ctx.stats.FileSize = size;

    // With one PID given the other is looked for buffer by buffer, not in the whole file.
    if (v == 0 && a == 0) FindAvPidsInFile(ctx, input, v, a);
    if (!input.Rewind()) throw SilentAbort(SilentAbort::Reason::ReadError);
    ctx.stats.VideoPid = v;
    ctx.stats.AudioPid = a;
    watch.Start(input.start(), input.start() + size);

    WriteBuffered sink(ctx);
    ipack_s video, audio;  // their buffers go with them on every way out
    InitAssembler(audio, kAssemblerCapacity, &sink, to_mux, ctx);
    InitAssembler(video, kAssemblerCapacity, &sink, to_mux, ctx);

    uint8_t* buf = f.read_buffer.get();
    const bool private_is_audio = ctx.options.CheckPrivateStream;
    bool converting = true;
    while (converting) {
        PumpOneMessage(ctx);
        const int n = ReadTsPackets(ctx, input, buf, kReadBufferSize);
        if (n == 0) break;
        ctx.stats.BytesRead += n;
        const int64_t buffer_at = watch.TakeBuffer(n / kTsPacketSize);
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
            const int64_t at = buffer_at + static_cast<int64_t>(pos / kTsPacketSize) * f.PacketSize;
            const SyncWatch::Step step = watch.Check(pkt, at, v, a);
            if (step != SyncWatch::Step::Convert) {
                converting = step == SyncWatch::Step::Resynced;
                break;
            }
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
    watch.Finish();
    f.FlushPending = true;
    sink.Put(nullptr, 0);
}

std::string SyncGapText(const SyncGap& gap) {
    std::string text = "lost packet sync at byte " + std::to_string(gap.at) + "; ";
    if (gap.resumed_at < 0) {
        return text + std::to_string(gap.unconverted) + " bytes after it were not converted";
    }
    text += "converted again from byte " + std::to_string(gap.resumed_at);
    if (gap.lost_packets) {
        return text + ": the " + std::to_string(gap.unconverted) +
               " bytes passed over held a packet of the video or audio stream";
    }
    return text + " (" + std::to_string(gap.unconverted) + " bytes passed over)";
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
            ConvertTsFile(ctx, input, audio_pid, video_pid, 1, options.resync_limit);
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
    result.sync_gaps = f.sync_gaps;
    if (result.outcome == Outcome::Done) {
        // A loss of sync is passed over only where it was looked for again, and only when what
        // was passed over held nothing of the streams.
        for (const SyncGap& gap : f.sync_gaps) {
            if (options.resync_limit > 0 && gap.resumed_at >= 0 && !gap.lost_packets) continue;
            if (result.outcome != Outcome::Incomplete) {
                result.outcome = Outcome::Incomplete;
                result.message = SyncGapText(gap);
            }
        }
        const size_t more = f.sync_gaps.size() > 1 ? f.sync_gaps.size() - 1 : 0;
        if (result.outcome == Outcome::Incomplete && more > 0) {
            result.message +=
                " (and " + std::to_string(more) + " more place" + (more > 1 ? "s" : "") + ")";
        }
    }
    if (result.outcome == Outcome::Incomplete) {
        if (output.bytes_written() == 0 || !options.keep_partial) {
            output.Discard();
            result.message += "; " + out_path + " was not written";
        } else if (output.Commit(false)) {
            result.output_written = true;
            result.message += "; " + out_path + " holds what could be converted";
        } else {
            result.existing_kept = errno == EEXIST;
            result.message += "; " + out_path +
                              (result.existing_kept ? " was there before and is kept as it was"
                                                    : " could not be written: " + output.error());
        }
    } else if (result.outcome == Outcome::Done) {
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
