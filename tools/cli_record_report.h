// SPDX-License-Identifier: GPL-3.0-or-later
// record --report: the quality report kept beside the recording while it runs, finished when it
// stops.
#pragma once

#include <memory>
#include <string>

#include "tools/cli_common.h"

namespace tessaline {
class RecordingSequence;
class ReportSession;
}  // namespace tessaline

namespace tessaline::cli {

class RecordReport {
  public:
    RecordReport(const Args& args, const std::string& deck, const std::string& path,
                 const std::string& mode);
    ~RecordReport();

    // While recording: keeps NAME.report.json current. A failure is said once.
    void Tick(RecordingSequence& sequence);
    // After the sequence stopped: the finished report of `written` (the file's final path).
    // False (said on stderr) when it could not be written.
    bool Finish(RecordingSequence& sequence, const std::string& written,
                const std::string& end_reason);
    // Nothing was recorded: what was written of the report goes too.
    void Discard();

  private:
    std::unique_ptr<ReportSession> session_;
    bool said_failure_ = false;
};

}  // namespace tessaline::cli
