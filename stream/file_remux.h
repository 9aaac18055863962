// Converts a whole TS file (188- or 192-byte packets) into a program stream file.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "stream/byte_sink.h"
#include "stream/pid_search.h"

namespace tessaline {

class InputFile;
struct StreamContext;

// The converter's output could not be written (disk full, I/O error). Unlike a SilentAbort this
// reaches the user, naming the file.
class RemuxWriteError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Gathers the program stream into 188000-byte writes to the converter's output file.
class WriteBuffered final : public ByteSink {
  public:
    explicit WriteBuffered(StreamContext& ctx) : ctx_(ctx) {}
    void Put(const uint8_t* bytes, size_t count) override;

  private:
    void WriteOut(const uint8_t* bytes, size_t count);
    StreamContext& ctx_;
};

// Converts the open input into the converter's output file (ctx.ConverterOutput). PIDs of 0 are
// searched for. Throws SilentAbort on cancellation and on inputs it cannot use, RemuxWriteError
// when the output cannot be written. Where the input loses packet sync the places go into
// ctx.file.sync_gaps: as designed the conversion reads on without looking for sync again; with a
// resync_limit it looks that far for packet sync, goes on from there, and stops converting when
// there is none.
void ConvertTsFile(StreamContext& ctx, InputFile& input, uint16_t audio_pid, uint16_t video_pid,
                   int to_mux, int64_t resync_limit = 0);

// One place where packet sync was lost, for people: "lost packet sync at byte N; M bytes after it
// were not converted", or where the conversion went on.
std::string SyncGapText(const SyncGap& gap);

// One job of the batch list: opens the input, converts into a temporary file beside the output,
// and gives it the output's name only when the conversion succeeded, so that a failure never
// costs the user an earlier file of that name. on_start runs once both files are open, just
// before the conversion (not for a skipped job).
struct RemuxJobOptions {
    // A program stream without a single audio or video PES (headers alone) is not kept.
    bool require_av = false;
    // When the first bytes fail the packet-size test, look for packet sync up to this far into
    // the file and convert from there, and look as far again wherever sync is lost further on
    // (0: the file cannot be converted, and a loss is not passed over, as designed).
    int64_t resync_limit = 0;
    // An Incomplete conversion is kept (only where no file had the output's name), so that what
    // could be converted is there to look at.
    bool keep_partial = false;
};
struct RemuxJobResult {
    // Incomplete: the input was read to its end, but a part of it lost packet sync and was not
    // converted (or held packets of the streams that had to be passed over): not success.
    enum class Outcome { Done, Skipped, Aborted, Failed, Incomplete };
    Outcome outcome = Outcome::Done;
    std::string message;  // why a job was skipped, aborted, failed, or left no output
    // The output now holds the conversion (for an abort: what was converted before it). When
    // false, a file that had the output's name before is as it was.
    bool output_written = false;
    // An abort's partial output was not kept because a file of that name was there already.
    bool existing_kept = false;
    int64_t skipped_bytes = 0;         // damaged bytes passed over at the start (resync_limit)
    std::vector<SyncGap> sync_gaps{};  // where packet sync was lost further on
};
RemuxJobResult RunRemuxJob(StreamContext& ctx, const std::string& input_path,
                           const std::string& output_path, uint16_t video_pid, uint16_t audio_pid,
                           const std::function<void()>& on_start = {},
                           const RemuxJobOptions& options = {});

// True when both paths name the same existing file (also through links or other spellings).
bool SameFile(const std::string& a, const std::string& b);

}  // namespace tessaline
