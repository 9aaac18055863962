// The tab that writes files to the deck: the file list and its buttons, the file dialog, START
// and STOP and the end-of-file step of the monitor. The rules are DeckWriter's; this class reads
// and writes the tab's controls, which the main window owns.
#pragma once

#include <QFileDialog>
#include <QMessageBox>
#include <QObject>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "capture/deck_writer.h"
#include "capture/tape_verifier.h"
#include "capture/write_list.h"

namespace tessaline {

class TFormQuillor;

class TWritePage final : public QObject {
    Q_OBJECT
  public:
    using Message =
        std::function<void(QMessageBox::Icon, const QString& caption, const QString& text)>;
    TWritePage(TFormQuillor& form, Message message);
    ~TWritePage() override;

    void btnFileClick();
    void AddWriteFile(const QString& path);
    int CountListedFiles() const { return list_.CountListed(); }
    bool PlayCurrentRow();
    void btnWrtStartClick();
    void btnWrtStopClick();
    void btnWrtClearClick();
    void btnWrtDelClick();
    // The monitor's end-of-file step while writing; after the last file, with "verify after
    // writing", the verification runs on a thread of its own and this looks in on it.
    void OnWriteTick();
    bool Verifying() const { return static_cast<bool>(verify_); }
    // What a verification found: the list's status column, and a box when a file differs.
    void ShowVerifyOutcome(const VerifyOutcome& outcome);
    // The window closes: writing stops as STOP does.
    void FormClosing();

    const WriteList& List() const { return list_; }
    QFileDialog* dlgOpen2 = nullptr;
    // Runs the file dialog and returns the chosen path, or an empty text on cancel; the dialog's
    // own exec() when not set. Tests answer here.
    std::function<QString(QFileDialog&)> RunDialog;
    // The recording tab's Stop action, run before a start failure is shown. Until it is set the
    // graph is just stopped.
    std::function<void()> RecordingStop;

  private:
    // One verification after writing, on its own thread: it winds and plays the tape.
    struct VerifyJob {
        std::thread thread;
        std::atomic<bool> cancel{false};
        std::atomic<bool> done{false};
        VerifyOutcome outcome;  // written by the thread before done, read after
    };
    // Before START: whether the write can be verified (a counter, room on the tape); says why
    // not in a box.
    bool PlanVerify();
    void StartVerify();
    void FinishVerify();
    void SetStatus(const std::string& path, const QString& text);
    WriteOptions Options() const;
    void ShowList();
    bool Usable() const;

    TFormQuillor& form_;
    Message message_;
    WriteList list_;
    std::unique_ptr<DeckWriter> writer_;
    std::unique_ptr<VerifyJob> verify_;
    bool verify_planned_ = false;
    VerifiedWritePlan plan_;
    std::vector<std::string> written_;
    std::map<std::string, QString> status_;  // path: what its verification found
};

}  // namespace tessaline
