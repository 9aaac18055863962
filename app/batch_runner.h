// The batch tab's runner without a window: the start button's two meanings (run the job list, or
// abort the job that runs), the per-job steps around RunRemuxJob, the PID search of the tab and
// the figures the monitor shows while a job runs. What the tab shows goes through BatchView.
#pragma once

#include <cstdint>
#include <string>

#include "app/job_list.h"

namespace tessaline {

struct StreamContext;
struct TStreamStatistics;

// The tab as the runner sees it.
class BatchView {
  public:
    virtual ~BatchView() = default;
    // The input and output boxes.
    virtual void ShowPaths(const std::string& input, const std::string& output) = 0;
    virtual std::string VideoPidText() const = 0;
    virtual std::string AudioPidText() const = 0;
    virtual void ShowPids(const std::string& video, const std::string& audio) = 0;
    virtual void ShowProgress(int position) = 0;  // 0 .. 10000
    // A job starts (true) or has ended (false): busy cursor, IsRemuxing and the control states.
    virtual void SetRunning(bool running) = 0;
    // After a job: its first and last time stamps on the Data Info page.
    virtual void ShowTimestamps(const TStreamStatistics& stats) = 0;
    // Jobs failed (not an abort): the message, once per run, goes to the person.
    virtual void ShowFailure(const std::string& message) = 0;
    // The language of the messages the runner composes.
    virtual bool UseEnglish() const { return true; }
    // Just before each job: the options the job takes from the window (Check PTS).
    virtual void PrepareJob() {}
    // The PID search runs (true) or has ended (false): busy cursor and the seven controls.
    virtual void SetSearching(bool searching) = 0;
};

// "%.4X": at least four upper-case hexadecimal digits.
std::string PidText(uint32_t pid);
// A PID box read as hexadecimal, kept in 16 bits; 0 when the text is not a hexadecimal number.
uint16_t PidFromText(const std::string& text);
// The progress bar's position for a conversion: bytes read out of the file size, in 1/10000.
int ProgressPosition(const StreamContext& stream);

class BatchRunner {
  public:
    BatchRunner(StreamContext& stream, BatchView& view) : stream_(stream), view_(view) {}

    enum class End {
        NoJobs,          // nothing in the list: the caller says "Please Add Job."
        AbortRequested,  // a job was running: it has been told to stop
        AllDone,         // every row was processed (skipped or converted)
        EmptyRow,        // a row without input or output ended the run
        Aborted,         // a job was aborted (by a second click or a close)
        Failed,          // every row was processed, but jobs failed; ShowFailure has been called
        Busy,            // a PID search runs: the click is ignored
    };
    // The start button: runs the list, or, while a job runs, asks it to stop.
    End Click(const JobList& jobs);
    // Asks a running job or PID search to stop (the window is closing); nothing when none runs.
    void Abort();
    // The start button's marker: true while a job converts.
    bool Running() const { return running_; }

    // The PID search button for the file in input. False when nothing was searched (no such
    // file, or it cannot be opened); the boxes hold the PIDs found, or "0" each when the search
    // ended without both.
    bool SearchPids(const std::string& input);

    // The monitor's batch step while a job runs: progress and the PIDs found so far.
    void ShowRunningFigures();

  private:
    StreamContext& stream_;
    BatchView& view_;
    bool running_ = false;
    bool searching_ = false;
};

}  // namespace tessaline
