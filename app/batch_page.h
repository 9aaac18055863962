// The batch conversion tab: the job list and its buttons, the PID boxes and search, the file
// dialogs and the start button that runs the list or aborts the running job. The work itself is
// BatchRunner's; this class reads and writes the tab's controls, which the main window owns.
#pragma once

#include <QFileDialog>
#include <QMessageBox>
#include <QObject>
#include <functional>

#include "app/batch_runner.h"
#include "app/job_list.h"

namespace tessaline {

class TFormQuillor;

class TBatchPage final : public QObject, public BatchView {
    Q_OBJECT
  public:
    using Message =
        std::function<void(QMessageBox::Icon, const QString& caption, const QString& text)>;
    TBatchPage(TFormQuillor& form, Message message);
    ~TBatchPage() override;

    void btnOpenClick();
    void btnSaveClick();
    void btnPIDClick();
    void btnRemuxAddClick();
    void btnRemuxDelClick();
    void btnRemuxClearClick();
    void btnStartClick();
    // The monitor's batch step: progress and the PIDs found, while a job runs.
    void MonitorStep();
    // The window closes: a running job is aborted (its output closed, kept as far as written).
    void FormClosing();

    const JobList& Jobs() const { return jobs_; }
    BatchRunner& Runner() { return runner_; }
    QFileDialog* dlgOpen = nullptr;
    QFileDialog* dlgSave = nullptr;
    // Runs a file dialog and returns the chosen path, or an empty text on cancel; the dialog's
    // own exec() when not set. Tests answer here.
    std::function<QString(QFileDialog&)> RunDialog;

    // BatchView.
    void ShowPaths(const std::string& input, const std::string& output) override;
    std::string VideoPidText() const override;
    std::string AudioPidText() const override;
    void ShowPids(const std::string& video, const std::string& audio) override;
    void ShowProgress(int position) override;
    void SetRunning(bool running) override;
    void ShowTimestamps(const TStreamStatistics& stats) override;
    void ShowFailure(const std::string& message) override;
    bool UseEnglish() const override;
    void PrepareJob() override;
    void SetSearching(bool searching) override;

  private:
    QString Choose(QFileDialog* dialog);
    void ShowJobs();

    TFormQuillor& form_;
    Message message_;
    JobList jobs_;
    BatchRunner runner_;
};

}  // namespace tessaline
