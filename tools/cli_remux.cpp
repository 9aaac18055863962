// probe and remux: the file converter of the batch tab, one file at a time.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "stream/file_remux.h"
#include "stream/input_file.h"
#include "stream/pid_search.h"
#include "stream/stream_context.h"
#include "tools/cli_common.h"

namespace tessaline::cli {
namespace {

// How far into a file whose start is damaged remux looks for packet sync.
constexpr int64_t kResyncLimit = 1 << 20;

std::atomic<bool>* g_abort_flag = nullptr;

std::string PidOrNone(uint32_t pid) {
    return pid != 0 ? FormatPid(pid) : "none found";
}

void OnInterrupt(int) {
    if (g_abort_flag) g_abort_flag->store(true);
}

// Ctrl-C cancels the conversion at its next read, as a second press of the start button does.
class InterruptToAbort {
  public:
    explicit InterruptToAbort(std::atomic<bool>& flag) {
        g_abort_flag = &flag;
        struct sigaction sa {};
        sa.sa_handler = OnInterrupt;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &previous_int_);
        sigaction(SIGTERM, &sa, &previous_term_);
    }
    ~InterruptToAbort() {
        sigaction(SIGINT, &previous_int_, nullptr);
        sigaction(SIGTERM, &previous_term_, nullptr);
        g_abort_flag = nullptr;
    }

  private:
    struct sigaction previous_int_ {};
    struct sigaction previous_term_ {};
};

// A one-line progress bar on a terminal: percent, speed, time left.
class ProgressBar {
  public:
    explicit ProgressBar(const StreamContext& ctx) : ctx_(ctx), start_(Clock::now()) {}
    void Update(bool final = false) {
        const auto now = Clock::now();
        if (!final && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        // BytesRead counts the 188-byte packets delivered; for a file of source packets the
        // bytes read from the file are 192/188 of that.
        const double scale = ctx_.file.PacketSize == 192 ? 192.0 / 188.0 : 1.0;
        const double read = static_cast<double>(ctx_.stats.BytesRead.load()) * scale;
        const double size = static_cast<double>(ctx_.stats.FileSize.load());
        const double secs = std::chrono::duration<double>(now - start_).count();
        const double pct = size > 0 ? 100.0 * read / size : 0.0;
        const double rate = secs > 0 ? read / secs : 0.0;
        const double left = rate > 0 ? (size - read) / rate : 0.0;
        constexpr int kWidth = 30;
        const int filled = static_cast<int>(pct / 100.0 * kWidth);
        char bar[kWidth + 1];
        for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '-';
        bar[kWidth] = '\0';
        std::fprintf(stderr, "\r[%s] %5.1f%%  %7.1f MB/s  %d:%02d left ", bar, pct, rate / 1e6,
                     static_cast<int>(left) / 60, static_cast<int>(left) % 60);
        if (final) std::fputc('\n', stderr);
        std::fflush(stderr);
    }

  private:
    using Clock = std::chrono::steady_clock;
    const StreamContext& ctx_;
    Clock::time_point start_;
    Clock::time_point last_{};
};

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

int ExitForAbort(const SilentAbort& e, const std::string& input) {
    if (e.reason() == SilentAbort::Reason::Cancelled) return kExitInterrupted;
    std::fprintf(stderr, "tessaline-cli: %s: %s\n", input.c_str(), e.what());
    return e.reason() == SilentAbort::Reason::ReadError ? kExitFailure : kExitNoResult;
}

void PrintRemuxHelp() {
    std::printf(
        "usage: tessaline-cli remux IN OUT [options]\n"
        "Converts the TS file IN (188- or 192-byte packets) into the program stream file OUT,\n"
        "as one job of the batch list.\n"
        "\n"
        "  --vpid HEX            video PID (searched for when not given)\n"
        "  --apid HEX            audio PID (searched for when not given)\n"
        "  --all                 start at the first audio or video header (\"Check PTS\" off)\n"
        "  --keep-leading-bytes  keep the bytes before the first sequence header / audio sync\n"
        "                        word (\"Delete to SyncByte\" off)\n"
        "  --private-stream      treat private stream 1 as audio (\"Check Private Stream\")\n"
        "  --json                print the final statistics as one JSON object\n"
        "  --quiet               no progress bar\n"
        "\n"
        "OUT is written under a temporary name beside it and takes its name only when the\n"
        "conversion succeeded: a failed conversion leaves an existing OUT as it was. When the\n"
        "first bytes of IN are not whole packets, packet sync is looked for in its first\n"
        "megabyte and the conversion starts there; where IN loses packet sync further on, it\n"
        "is looked for in the next megabyte and the conversion goes on from there. Each place\n"
        "is said on standard error.\n"
        "\n"
        "exit: 0 done (also past places that lost sync, when what was passed over held no\n"
        "packet of the video or audio stream), 1 OUT could not be written, or IN was not\n"
        "converted whole (a new OUT then holds what could be), 2 bad usage or files, 3 no\n"
        "usable stream\n"
        "in IN (empty, unknown packet size, PIDs not found, or no audio or video PES converted;\n"
        "OUT is then not written), 130 interrupted (a new OUT keeps what was converted so far;\n"
        "an existing one is kept as it was)\n");
}

}  // namespace

int ProbeCommand(const Args& args) {
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        std::printf(
            "usage: tessaline-cli probe FILE [--private-stream]\n"
            "Prints the packet size and the video and audio PIDs of a TS file:\n"
            "  packet_size=188 video_pid=0x0100 audio_pid=0x0101\n"
            "exit: 0 found, 2 cannot open, 3 empty file, unknown packet size or a PID not found\n");
        return kExitOk;
    }
    std::string path;
    bool private_stream = false;
    for (const std::string& a : args) {
        if (a == "--private-stream") {
            private_stream = true;
        } else if (!a.empty() && a[0] == '-') {
            return Usage("probe: unknown option " + a);
        } else if (path.empty()) {
            path = a;
        } else {
            return Usage("probe takes one file");
        }
    }
    if (path.empty()) return Usage("probe needs a file");

    StreamContext ctx;
    ctx.options.CheckPrivateStream = private_stream;
    InputFile file;
    if (!file.Open(path)) {
        std::fprintf(stderr, "tessaline-cli: cannot open %s: %s\n", path.c_str(),
                     file.error().c_str());
        return kExitUsage;
    }
    ctx.stats.FileSize = file.Size();
    ctx.file.PacketSize = 0;
    uint16_t v = 0, a = 0;
    try {
        FindAvPidsInFile(ctx, file, v, a);
    } catch (const SilentAbort& e) {
        if (e.reason() == SilentAbort::Reason::PidNotFound) {
            std::fprintf(stderr, "tessaline-cli: %s: %s (video PID %s, audio PID %s)\n",
                         path.c_str(), e.what(), v ? FormatPid(v).c_str() : "not found",
                         a ? FormatPid(a).c_str() : "not found");
            return kExitNoResult;
        }
        return ExitForAbort(e, path);
    }
    std::printf("packet_size=%d video_pid=%s audio_pid=%s\n", ctx.file.PacketSize,
                FormatPid(v).c_str(), FormatPid(a).c_str());
    return kExitOk;
}

int RemuxCommand(const Args& args) {
    std::string in, out;
    uint16_t vpid = 0, apid = 0;
    bool all = false, keep_leading = false, private_stream = false, json = false, quiet = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            PrintRemuxHelp();
            return kExitOk;
        } else if (a == "--vpid" || a == "--apid") {
            if (i + 1 >= args.size()) return Usage(a + " needs a hexadecimal PID");
            const auto pid = ParseHexPid(args[++i]);
            if (!pid)
                return Usage(a + ": '" + args[i] + "' is not a PID (hexadecimal, up to 1FFF)");
            (a == "--vpid" ? vpid : apid) = *pid;
        } else if (a == "--all") {
            all = true;
        } else if (a == "--keep-leading-bytes") {
            keep_leading = true;
        } else if (a == "--private-stream") {
            private_stream = true;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--quiet") {
            quiet = true;
        } else if (!a.empty() && a[0] == '-') {
            return Usage("remux: unknown option " + a);
        } else if (in.empty()) {
            in = a;
        } else if (out.empty()) {
            out = a;
        } else {
            return Usage("remux takes one input and one output file");
        }
    }
    if (in.empty() || out.empty()) return Usage("remux needs an input and an output file");
    if (!FileExists(in)) {
        std::fprintf(stderr, "tessaline-cli: %s does not exist\n", in.c_str());
        return kExitUsage;
    }
    if (in == out || SameFile(in, out)) {
        std::fprintf(stderr, "tessaline-cli: the output %s is the input file; nothing converted\n",
                     out.c_str());
        return kExitUsage;
    }

    StreamContext ctx;
    ctx.options.ConvPES = true;
    ctx.options.TrimPacket = true;
    ctx.options.CheckPts = !all;
    ctx.options.SyncByte = !keep_leading;
    ctx.options.CheckPrivateStream = private_stream;

    ProgressBar bar(ctx);
    const bool show_progress = !quiet && IsTerminal(STDERR_FILENO);
    if (show_progress) ctx.file.pump = [&bar] { bar.Update(); };

    InterruptToAbort interrupt(ctx.file.RemuxAbort);
    RemuxJobOptions job;
    job.require_av = true;
    job.resync_limit = kResyncLimit;
    job.keep_partial = true;
    const RemuxJobResult r = RunRemuxJob(ctx, in, out, vpid, apid, {}, job);
    if (show_progress && r.outcome == RemuxJobResult::Outcome::Done) bar.Update(true);
    if (show_progress && r.outcome != RemuxJobResult::Outcome::Done) std::fputc('\n', stderr);
    if (r.skipped_bytes > 0) {
        std::fprintf(stderr,
                     "tessaline-cli: %s: the first %lld bytes are not whole TS packets; "
                     "converted from byte %lld on\n",
                     in.c_str(), static_cast<long long>(r.skipped_bytes),
                     static_cast<long long>(r.skipped_bytes));
    }
    // Every place the conversion lost packet sync, whether it was passed over or not.
    for (const SyncGap& gap : r.sync_gaps) {
        std::fprintf(stderr, "tessaline-cli: %s: %s\n", in.c_str(), SyncGapText(gap).c_str());
    }

    if (json) std::printf("%s\n", StatisticsJson(ctx.stats).c_str());
    switch (r.outcome) {
        case RemuxJobResult::Outcome::Incomplete:
            std::fprintf(stderr, "tessaline-cli: %s was not converted whole; %s\n", in.c_str(),
                         r.output_written ? (out + " holds what could be converted").c_str()
                         : r.existing_kept
                             ? (out + " was there before and is kept as it was").c_str()
                             : (out + " was not written").c_str());
            return kExitFailure;
        case RemuxJobResult::Outcome::Done:
            if (!r.output_written) {
                // Headers alone, or nothing: no player can open that, so it is not kept.
                std::fprintf(stderr,
                             "tessaline-cli: %s: no audio or video could be converted (video PID "
                             "%s, audio PID %s); %s not written\n",
                             in.c_str(), PidOrNone(ctx.stats.VideoPid).c_str(),
                             PidOrNone(ctx.stats.AudioPid).c_str(), out.c_str());
                return kExitNoResult;
            }
            if (!quiet && !json) {
                std::fprintf(stderr, "%s -> %s\n%s", in.c_str(), out.c_str(),
                             StatisticsText(ctx.stats).c_str());
            }
            return kExitOk;
        case RemuxJobResult::Outcome::Skipped:
            std::fprintf(stderr, "tessaline-cli: %s\n", r.message.c_str());
            return kExitUsage;
        case RemuxJobResult::Outcome::Failed:
            std::fprintf(stderr, "tessaline-cli: %s; %s\n", r.message.c_str(),
                         FileExists(out) ? (out + " is as it was").c_str()
                                         : (out + " was not written").c_str());
            return kExitFailure;
        case RemuxJobResult::Outcome::Aborted:
            if (ctx.file.RemuxAbort.load()) {
                if (r.output_written) {
                    std::fprintf(stderr,
                                 "tessaline-cli: interrupted; %s holds what was converted so far\n",
                                 out.c_str());
                } else if (r.existing_kept) {
                    std::fprintf(stderr,
                                 "tessaline-cli: interrupted; %s was there before and is kept as "
                                 "it was\n",
                                 out.c_str());
                } else {
                    std::fprintf(stderr, "tessaline-cli: interrupted; nothing was converted\n");
                }
                return kExitInterrupted;
            }
            std::fprintf(stderr, "tessaline-cli: %s: %s\n", in.c_str(), r.message.c_str());
            return r.message == SilentAbort(SilentAbort::Reason::ReadError).what() ? kExitFailure
                                                                                   : kExitNoResult;
    }
    return kExitFailure;
}

}  // namespace tessaline::cli
