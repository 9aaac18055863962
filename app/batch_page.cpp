#include "app/batch_page.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFileInfo>
#include <filesystem>

#include "app/captions.h"
#include "app/main_form.h"
#include "app/qt_text.h"
#include "recording/span_text.h"
#include "stream/stream_context.h"

namespace tessaline {
namespace {

constexpr MessageText kMsgAddJob = {"変換するファイルを「追加」ボタンで追加して下さい",
                                    "Please Add Job."};

// An existing file (not a folder) by that name.
bool IsExistingFile(const QString& path) {
    return !path.isEmpty() && QFileInfo(path).isFile();
}

}  // namespace

TBatchPage::TBatchPage(TFormQuillor& form, Message message)
    : QObject(&form), form_(form), message_(std::move(message)), runner_(form.Stream(), *this) {
    dlgOpen = new QFileDialog(&form);
    dlgOpen->setObjectName("dlgOpen");
    dlgOpen->setAcceptMode(QFileDialog::AcceptOpen);
    dlgOpen->setFileMode(QFileDialog::ExistingFile);
    dlgOpen->setNameFilters({"MPEG Files (*.mpg *.m2t *.ts)", "All Files (*)"});
    dlgOpen->setDefaultSuffix("mpg");

    dlgSave = new QFileDialog(&form);
    dlgSave->setObjectName("dlgSave");
    dlgSave->setAcceptMode(QFileDialog::AcceptSave);
    dlgSave->setFileMode(QFileDialog::AnyFile);
    dlgSave->setNameFilters({"MPEG Files (*.mpg *.m2t)", "All Files (*)"});
    dlgSave->setOption(QFileDialog::DontConfirmOverwrite, false);

    connect(form.btnOpen, &QPushButton::clicked, this, [this] { btnOpenClick(); });
    connect(form.btnSave, &QPushButton::clicked, this, [this] { btnSaveClick(); });
    connect(form.btnPID, &QPushButton::clicked, this, [this] { btnPIDClick(); });
    connect(form.btnRemuxAdd, &QPushButton::clicked, this, [this] { btnRemuxAddClick(); });
    connect(form.btnRemuxDel, &QPushButton::clicked, this, [this] { btnRemuxDelClick(); });
    connect(form.btnRemuxClear, &QPushButton::clicked, this, [this] { btnRemuxClearClick(); });
    connect(form.btnStart, &QPushButton::clicked, this, [this] { btnStartClick(); });

    // Long file work lets the window handle its events (the ticks among them) and keeps the
    // tab's own figures current between two monitor ticks.
    form.Stream().file.pump = [this] {
        QCoreApplication::processEvents();
        MonitorStep();
    };
    ShowJobs();
}

// The window's stream context, which holds the pump, is gone by the time its children go.
TBatchPage::~TBatchPage() = default;

QString TBatchPage::Choose(QFileDialog* dialog) {
    if (RunDialog) return RunDialog(*dialog);
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return {};
    return dialog->selectedFiles().constFirst();
}

void TBatchPage::btnOpenClick() {
    const QString path = Choose(dlgOpen);
    if (!path.isEmpty()) form_.edtOpen->setText(path);
}

void TBatchPage::btnSaveClick() {
    const QString path = Choose(dlgSave);
    if (!path.isEmpty()) form_.edtSave->setText(path);
}

void TBatchPage::btnPIDClick() {
    runner_.SearchPids(S(form_.edtOpen->text()));
}

void TBatchPage::btnRemuxAddClick() {
    const QString input = form_.edtOpen->text();
    if (!IsExistingFile(input)) return;
    std::string output;
    if (form_.chkFolder->isChecked()) {
        output = form_.Settings.OutDir + std::filesystem::path(S(input)).filename().string();
    } else {
        output = S(form_.edtSave->text());
    }
    jobs_.Add({S(input), output});
    ShowJobs();
}

void TBatchPage::btnRemuxDelClick() {
    const int r = form_.sgList->Row();
    if (r < 1) return;
    jobs_.Delete(r);
    ShowJobs();
    form_.sgList->SetRow(std::min(r, jobs_.RowCount() - 1));
}

void TBatchPage::btnRemuxClearClick() {
    jobs_.Clear();
    ShowJobs();
}

void TBatchPage::btnStartClick() {
    if (runner_.Click(jobs_) == BatchRunner::End::NoJobs) {
        message_(QMessageBox::Critical, "ERROR",
                 Q(std::string(Pick(kMsgAddJob, form_.Flags.UseEnglish))));
    }
}

void TBatchPage::MonitorStep() {
    runner_.ShowRunningFigures();
}

void TBatchPage::FormClosing() {
    runner_.Abort();
}

void TBatchPage::ShowJobs() {
    TStringGrid* grid = form_.sgList;
    grid->SetRowCount(jobs_.RowCount());
    for (int r = 1; r < jobs_.RowCount(); ++r) {
        grid->SetCell(0, r, Q(jobs_.Row(r).input));
        grid->SetCell(1, r, Q(jobs_.Row(r).output));
    }
    grid->viewport()->update();
}

// ---- What the runner shows -----------------------------------------------------------------

void TBatchPage::ShowPaths(const std::string& input, const std::string& output) {
    form_.edtOpen->setText(Q(input));
    form_.edtSave->setText(Q(output));
}

std::string TBatchPage::VideoPidText() const {
    return S(form_.edtPIDV->text());
}

std::string TBatchPage::AudioPidText() const {
    return S(form_.edtPIDA->text());
}

void TBatchPage::ShowPids(const std::string& video, const std::string& audio) {
    form_.edtPIDV->setText(Q(video));
    form_.edtPIDA->setText(Q(audio));
}

void TBatchPage::ShowProgress(int position) {
    form_.prbProc->setValue(position);
}

void TBatchPage::SetRunning(bool running) {
    if (running) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        QApplication::restoreOverrideCursor();
    }
    form_.Flags.IsRemuxing = running;
    form_.UpdateControlStates();
    // Converting needs no deck; without one the start-up left the ticks off, and the monitor's
    // batch step and the Data Info page would stand still.
    if (running && !form_.TThTime && !form_.Closed()) form_.StartTicks();
}

void TBatchPage::ShowTimestamps(const TStreamStatistics& stats) {
    if (stats.FirstVideoPts != 0) {
        form_.pnlVPTS->setText(Q(PtsTimeText(stats.FirstVideoPts)));
        form_.pnlEVPTS->setText(Q(PtsTimeText(stats.LastVideoPts)));
    }
    if (stats.FirstAudioPts != 0) {
        form_.pnlAPTS->setText(Q(PtsTimeText(stats.FirstAudioPts)));
        form_.pnlEAPTS->setText(Q(PtsTimeText(stats.LastAudioPts)));
    }
}

void TBatchPage::ShowFailure(const std::string& message) {
    message_(QMessageBox::Critical, Q(std::string(Pick(kCaptionError, form_.Flags.UseEnglish))),
             Q(message));
}

bool TBatchPage::UseEnglish() const {
    return form_.Flags.UseEnglish;
}

void TBatchPage::PrepareJob() {
    form_.Stream().options.CheckPts = form_.chkIFrame->isChecked();
}

void TBatchPage::SetSearching(bool searching) {
    if (searching) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        QApplication::restoreOverrideCursor();
    }
    for (QWidget* w :
         std::initializer_list<QWidget*>{form_.btnOpen, form_.btnSave, form_.btnPID, form_.edtOpen,
                                         form_.edtSave, form_.edtPIDV, form_.edtPIDA}) {
        w->setEnabled(!searching);
    }
    // Enabling them all would open the output box while the output folder is fixed.
    if (!searching) form_.UpdateControlStates();
}

}  // namespace tessaline
