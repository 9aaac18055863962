#include "app/batch_runner.h"

#include <sys/stat.h>

#include <charconv>
#include <cstdio>

#include "app/captions.h"
#include "stream/file_remux.h"
#include "stream/input_file.h"
#include "stream/pid_search.h"
#include "stream/stream_context.h"

namespace tessaline {

std::string PidText(uint32_t pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%.4X", pid);
    return text;
}

uint16_t PidFromText(const std::string& text) {
    unsigned long value = 0;
    const char* first = text.data();
    const char* last = first + text.size();
    const auto [end, error] = std::from_chars(first, last, value, 16);
    if (text.empty() || error != std::errc() || end != last) return 0;
    return static_cast<uint16_t>(value & 0xFFFF);
}

int ProgressPosition(const StreamContext& stream) {
    const int64_t size = stream.stats.FileSize;
    int64_t read = stream.stats.BytesRead;
    // BytesRead counts the 188-byte packets delivered; a file of 192-byte source packets holds
    // 192/188 of that, and the bar would otherwise stop short of its end.
    if (stream.file.PacketSize == 192) read = read / 188 * 192 + read % 188;
    if (size <= 0 || read <= 0) return 0;
    if (read >= size) return 10000;
    return static_cast<int>(read * 10000 / size);
}

BatchRunner::End BatchRunner::Click(const JobList& list) {
    if (running_) {
        stream_.file.RemuxAbort = true;
        return End::AbortRequested;
    }
    // The search shares the file buffers with the converter: no run beside it.
    if (searching_) return End::Busy;
    if (list.IsEmpty()) return End::NoJobs;
    // A job that fails (unusable input, a full disk) does not hold up the ones after it; the
    // person hears of all of them once the run ends.
    std::string failed;
    auto report = [&](End end) {
        if (failed.empty()) return end;
        view_.ShowFailure(std::string(Pick(kMsgJobsFailed, view_.UseEnglish())) + failed);
        return end == End::AllDone ? End::Failed : end;
    };
    // The list's buttons are disabled while a job runs, so the rows stay as they are.
    for (int r = 1; r < list.RowCount(); ++r) {
        const RemuxJob& job = list.Row(r);
        if (job.input.empty() || job.output.empty()) return report(End::EmptyRow);
        view_.ShowPaths(job.input, job.output);

        view_.PrepareJob();
        view_.ShowProgress(0);
        std::string video = view_.VideoPidText();
        std::string audio = view_.AudioPidText();
        if (video.empty()) video = "0";
        if (audio.empty()) audio = "0";
        view_.ShowPids(video, audio);

        bool started = false;
        const RemuxJobResult result = RunRemuxJob(stream_, job.input, job.output,
                                                  PidFromText(video), PidFromText(audio), [&] {
                                                      started = true;
                                                      running_ = true;
                                                      view_.SetRunning(true);
                                                  });
        if (!started) continue;  // skipped: missing input, same file, not openable ...

        running_ = false;
        view_.SetRunning(false);
        view_.ShowProgress(0);
        view_.ShowPids("0", "0");
        view_.ShowTimestamps(stream_.stats);
        const bool cancelled = stream_.file.RemuxAbort.load();
        if (result.outcome == RemuxJobResult::Outcome::Aborted && cancelled) {
            return report(End::Aborted);
        }
        if (result.outcome != RemuxJobResult::Outcome::Done || !result.output_written) {
            failed += "\n" + job.input + ": " + result.message;
        }
    }
    view_.ShowPaths({}, {});
    return report(End::AllDone);
}

void BatchRunner::Abort() {
    // A PID search reads the same way and stops at its next read too.
    if (running_ || searching_) stream_.file.RemuxAbort = true;
}

bool BatchRunner::SearchPids(const std::string& input) {
    struct stat st {};
    if (input.empty() || ::stat(input.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    view_.ShowPids("0", "0");
    stream_.file.RemuxAbort = false;
    view_.ShowProgress(0);
    stream_.stats.VideoPid = 0;
    stream_.stats.AudioPid = 0;
    stream_.file.PacketSize = 0;

    InputFile file;
    if (!file.Open(input)) return false;
    view_.SetSearching(true);
    searching_ = true;
    // The controls come back and the file closes on every way out, errors included.
    struct Restore {
        BatchRunner& runner;
        InputFile& file;
        ~Restore() {
            file.Close();
            runner.searching_ = false;
            runner.view_.SetSearching(false);
        }
    } restore{*this, file};
    uint16_t video = 0;
    uint16_t audio = 0;
    try {
        stream_.file.AllocateBuffers();
        const int64_t size = file.Size();
        if (size < 0 || !file.Rewind()) throw SilentAbort(SilentAbort::Reason::ReadError);
        stream_.stats.FileSize = size;
        while (video == 0 || audio == 0) FindAvPidsInFile(stream_, file, video, audio);
        view_.ShowPids(PidText(video), PidText(audio));
    } catch (const SilentAbort&) {
        // The end of the file before both were found: the boxes keep "0".
    }
    return true;
}

void BatchRunner::ShowRunningFigures() {
    if (!running_) return;
    view_.ShowProgress(ProgressPosition(stream_));
    view_.ShowPids(PidText(stream_.stats.VideoPid), PidText(stream_.stats.AudioPid));
}

}  // namespace tessaline
