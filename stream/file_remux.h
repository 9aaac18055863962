// Converts a whole TS file (188- or 192-byte packets) into a program stream file.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "stream/byte_sink.h"

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
// when the output cannot be written.
void ConvertTsFile(StreamContext& ctx, InputFile& input, uint16_t audio_pid, uint16_t video_pid,
                   int to_mux);

// One job of the batch list: opens the input, creates the output, converts, closes both.
// on_start runs once both files are open, just before the conversion (not for a skipped job).
struct RemuxJobResult {
    enum class Outcome { Done, Skipped, Aborted, Failed };
    Outcome outcome = Outcome::Done;
    std::string message;  // why a job was skipped, aborted or failed
};
RemuxJobResult RunRemuxJob(StreamContext& ctx, const std::string& input_path,
                           const std::string& output_path, uint16_t video_pid, uint16_t audio_pid,
                           const std::function<void()>& on_start = {});

// True when both paths name the same existing file (also through links or other spellings).
bool SameFile(const std::string& a, const std::string& b);

}  // namespace tessaline
