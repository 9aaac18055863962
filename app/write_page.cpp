#include "app/write_page.h"

#include "app/captions.h"
#include "app/main_form.h"
#include "app/qt_text.h"
#include "capture/ds_capture.h"

namespace tessaline {

namespace {

// %1 the stream's event code, %2 the deck, %3 the file that was playing.
constexpr MessageText kMsgWriteStreamFailed = {
    "デッキへの書き込みを中止しました: %3 の再生中に %2 がエラー %1 を返しました。",
    "Writing to the deck stopped: %2 ended the stream with error %1 while playing %3."};

}  // namespace

TWritePage::TWritePage(TFormQuillor& form, Message message)
    : QObject(&form), form_(form), message_(std::move(message)) {
    dlgOpen2 = new QFileDialog(&form, "Select MPEG2-TS File");
    dlgOpen2->setObjectName("dlgOpen2");
    dlgOpen2->setAcceptMode(QFileDialog::AcceptOpen);
    dlgOpen2->setFileMode(QFileDialog::ExistingFile);
    dlgOpen2->setNameFilters({"MPEG2 Files (*.mpg *.m2t *.ts)", "All Files (*)"});
    dlgOpen2->setDefaultSuffix("mpg");

    DeckWriterHooks hooks;
    hooks.stop_action = [this] {
        if (RecordingStop) {
            RecordingStop();
        } else if (form_.Capture()) {
            form_.Capture()->StopGraph();
        }
    };
    hooks.show_failure = [this](const std::string& text) {
        message_(QMessageBox::NoIcon, "Error", Q(text));
    };
    hooks.update_control_states = [this] {
        form_.Flags.IsWriting = writer_->writing();
        form_.UpdateControlStates();
    };
    hooks.show_file = [this](const std::string& text) { form_.edtFile->setText(Q(text)); };
    hooks.list_changed = [this] { ShowList(); };
    hooks.stream_failed = [this](const std::string& path, int32_t event) {
        const bool english = form_.Flags.UseEnglish;
        const QString text = Q(Pick(kMsgWriteStreamFailed, english))
                                 .arg(QString::number(static_cast<uint32_t>(event), 16),
                                      form_.cmbVid->currentText(), Q(path));
        message_(QMessageBox::Critical, Q(Pick(kCaptionError, english)), text);
    };
    if (form.Capture()) writer_ = std::make_unique<DeckWriter>(*form.Capture(), list_, hooks);

    connect(form.btnFile, &QPushButton::clicked, this, [this] { btnFileClick(); });
    connect(form.btnWrtStart, &QPushButton::clicked, this, [this] { btnWrtStartClick(); });
    connect(form.btnWrtStop, &QPushButton::clicked, this, [this] { btnWrtStopClick(); });
    connect(form.btnWrtClear, &QPushButton::clicked, this, [this] { btnWrtClearClick(); });
    connect(form.btnWrtDel, &QPushButton::clicked, this, [this] { btnWrtDelClick(); });
    ShowList();
}

TWritePage::~TWritePage() = default;

bool TWritePage::Usable() const {
    // The controller goes when the window closes; the writer must not outlive it in use.
    return writer_ && form_.Capture() != nullptr;
}

WriteOptions TWritePage::Options() const {
    WriteOptions o;
    o.rec_start = form_.chkRec->isChecked();
    o.repeat = form_.chkRepeat->isChecked();
    o.lead_text = S(form_.edtRec->text());
    return o;
}

void TWritePage::ShowList() {
    TStringGrid* grid = form_.sgWrite;
    grid->SetRowCount(list_.RowCount());
    for (int r = 1; r < list_.RowCount(); ++r) grid->SetCell(0, r, Q(list_.Row(r)));
    grid->SetRow(list_.Current());
    grid->viewport()->update();
}

void TWritePage::btnFileClick() {
    QString path;
    if (RunDialog) {
        path = RunDialog(*dlgOpen2);
    } else if (dlgOpen2->exec() == QDialog::Accepted && !dlgOpen2->selectedFiles().isEmpty()) {
        path = dlgOpen2->selectedFiles().constFirst();
    }
    if (path.isEmpty()) return;
    form_.edtFile->setText(path);
    AddWriteFile(path);
}

void TWritePage::AddWriteFile(const QString& path) {
    list_.Add(S(path));
    ShowList();
}

bool TWritePage::PlayCurrentRow() {
    return Usable() && writer_->PlayCurrentRow(S(form_.edtFile->text()));
}

void TWritePage::btnWrtStartClick() {
    if (!Usable()) return;
    writer_->Start(Options());
}

void TWritePage::btnWrtStopClick() {
    if (!Usable()) return;
    writer_->Stop(Options());
}

void TWritePage::btnWrtClearClick() {
    list_.Clear();
    ShowList();
    form_.edtFile->clear();
}

void TWritePage::btnWrtDelClick() {
    if (const int r = form_.sgWrite->Row(); r >= 1) list_.SetCurrent(r);
    const std::string current = list_.DeleteCurrent();
    ShowList();
    form_.edtFile->setText(Q(current));
}

void TWritePage::OnWriteTick() {
    if (!Usable() || !form_.Flags.IsWriting) return;
    writer_->OnWriteTick(Options());
}

void TWritePage::FormClosing() {
    if (Usable() && writer_->writing()) writer_->Stop(Options());
}

}  // namespace tessaline
