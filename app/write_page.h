// The tab that writes files to the deck: the file list and its buttons, the file dialog, START
// and STOP and the end-of-file step of the monitor. The rules are DeckWriter's; this class reads
// and writes the tab's controls, which the main window owns.
#pragma once

#include <QFileDialog>
#include <QMessageBox>
#include <QObject>
#include <functional>
#include <memory>

#include "capture/deck_writer.h"
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
    // The monitor's end-of-file step while writing.
    void OnWriteTick();
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
    WriteOptions Options() const;
    void ShowList();
    bool Usable() const;

    TFormQuillor& form_;
    Message message_;
    WriteList list_;
    std::unique_ptr<DeckWriter> writer_;
};

}  // namespace tessaline
