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
// %1 why.
constexpr MessageText kMsgCannotVerify = {"書き込み後の照合ができないため、書き込みません: %1",
                                          "Nothing was written: the write cannot be verified: %1"};
constexpr MessageText kMsgVerifyNeedsRec = {
    "書き込み後の照合には Rec. Start が必要です。",
    "Verify after writing needs Rec. Start: without it nothing is recorded."};
// %1 the summary, %2 a line per file.
constexpr MessageText kMsgVerifyDiffers = {
    "照合の結果、テープが書き込んだファイルと異なります: %1\n\n%2",
    "The tape differs from what was written: %1\n\n%2"};
// %1 the deck, %2 the file, its row and how much of it can be on tape.
constexpr MessageText kMsgWriteDeckStopped = {
    "デッキへの書き込みは失敗しました: %1 "
    "が録画を止めていたため、ファイルの残りはテープにありません。\n%2",
    "Writing to the deck failed: %1 had stopped recording, so the rest of the file is not on "
    "tape.\n%2"};
constexpr MessageText kStatusCutShort = {"途中まで", "cut short"};
constexpr MessageText kStatusVerifying = {"照合中", "verifying"};
constexpr MessageText kStatusVerified = {"一致", "verified"};
constexpr MessageText kStatusDiffers = {"相違", "differs"};
constexpr MessageText kStatusNotRead = {"読めず", "not read"};

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
        // The verification after writing keeps the tab busy: it drives the deck.
        form_.Flags.IsWriting = writer_->writing() || Verifying();
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
    hooks.read_status = [this](DeckStatus& status) {
        DeckDriver* deck = form_.SelectedDeckDriver();
        return deck != nullptr && deck->Status(status);
    };
    hooks.deck_stopped = [this](const DeckStoppedRecording& stop) {
        const bool english = form_.Flags.UseEnglish;
        SetStatus(stop.path, Q(Pick(kStatusCutShort, english)));
        ShowList();
        message_(QMessageBox::Critical, Q(Pick(kCaptionError, english)),
                 Q(Pick(kMsgWriteDeckStopped, english))
                     .arg(form_.cmbVid->currentText(), Q(DeckStoppedText(stop))));
    };
    if (form.Capture()) writer_ = std::make_unique<DeckWriter>(*form.Capture(), list_, hooks);

    connect(form.btnFile, &QPushButton::clicked, this, [this] { btnFileClick(); });
    connect(form.btnWrtStart, &QPushButton::clicked, this, [this] { btnWrtStartClick(); });
    connect(form.btnWrtStop, &QPushButton::clicked, this, [this] { btnWrtStopClick(); });
    connect(form.btnWrtClear, &QPushButton::clicked, this, [this] { btnWrtClearClick(); });
    connect(form.btnWrtDel, &QPushButton::clicked, this, [this] { btnWrtDelClick(); });
    ShowList();
}

TWritePage::~TWritePage() {
    if (verify_) {
        verify_->cancel = true;
        verify_->thread.join();
    }
}

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
    for (int r = 1; r < list_.RowCount(); ++r) {
        grid->SetCell(0, r, Q(list_.Row(r)));
        const auto status = status_.find(list_.Row(r));
        grid->SetCell(1, r, status != status_.end() ? status->second : QString());
    }
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

bool TWritePage::PlanVerify() {
    const bool english = form_.Flags.UseEnglish;
    if (!form_.chkRec->isChecked()) {
        message_(QMessageBox::Critical, Q(Pick(kCaptionError, english)),
                 Q(Pick(kMsgVerifyNeedsRec, english)));
        return false;
    }
    written_.clear();
    for (int r = 1; r < list_.RowCount(); ++r) {
        if (!QString::fromStdString(list_.Row(r)).trimmed().isEmpty()) {
            written_.push_back(list_.Row(r));
        }
    }
    DeckDriver* deck = form_.SelectedDeckDriver();
    std::string why = "the deck cannot be driven from here";
    if (deck == nullptr || !PlanVerifiedWrite(*deck, written_, plan_, why)) {
        message_(QMessageBox::Critical, Q(Pick(kCaptionError, english)),
                 Q(Pick(kMsgCannotVerify, english)).arg(Q(why)));
        return false;
    }
    return true;
}

void TWritePage::btnWrtStartClick() {
    if (!Usable() || Verifying() || list_.CountListed() == 0) return;
    verify_planned_ = form_.chkVerify->isChecked();
    if (verify_planned_ && !PlanVerify()) return;
    status_.clear();
    ShowList();
    if (writer_->Start(Options()) != DeckWriter::StartResult::Started) verify_planned_ = false;
}

void TWritePage::btnWrtStopClick() {
    if (Verifying()) {
        // Looked in on by the next tick; the deck is stopped by the verification itself.
        verify_->cancel = true;
        return;
    }
    if (!Usable()) return;
    verify_planned_ = false;
    writer_->Stop(Options());
}

void TWritePage::SetStatus(const std::string& path, const QString& text) {
    status_[path] = text;
}

void TWritePage::StartVerify() {
    DeckDriver* deck = form_.SelectedDeckDriver();
    const bool english = form_.Flags.UseEnglish;
    for (const std::string& path : written_) SetStatus(path, Q(Pick(kStatusVerifying, english)));
    ShowList();
    if (deck == nullptr) {
        VerifyOutcome gone;
        gone.failure = "the deck is no longer there";
        for (const std::string& path : written_) {
            FileComparison c;
            c.path = path;
            c.error = gone.failure;
            gone.files.push_back(std::move(c));
        }
        ShowVerifyOutcome(gone);
        return;
    }
    verify_ = std::make_unique<VerifyJob>();
    VerifyJob& job = *verify_;
    job.thread = std::thread([&job, deck, files = written_, start = plan_.start_seconds] {
        // Where the write ended: the verification plays to there and leaves the tape there.
        DeckStatus status;
        std::optional<double> end;
        if (deck->Status(status)) end = status.position_seconds;
        TapeVerifier verifier(*deck);
        job.outcome = verifier.Run(files, start, end, [&job] { return job.cancel.load(); });
        job.done = true;
    });
    form_.Flags.IsWriting = true;
    form_.UpdateControlStates();
}

void TWritePage::FinishVerify() {
    verify_->thread.join();
    const VerifyOutcome outcome = std::move(verify_->outcome);
    verify_.reset();
    form_.Flags.IsWriting = writer_ && writer_->writing();
    form_.UpdateControlStates();
    ShowVerifyOutcome(outcome);
}

void TWritePage::ShowVerifyOutcome(const VerifyOutcome& outcome) {
    const bool english = form_.Flags.UseEnglish;
    QString lines;
    for (const FileComparison& c : outcome.files) {
        const MessageText& text = c.verdict == FileComparison::Verdict::Verified  ? kStatusVerified
                                  : c.verdict == FileComparison::Verdict::Differs ? kStatusDiffers
                                                                                  : kStatusNotRead;
        SetStatus(c.path, Q(Pick(text, english)));
        lines += Q(ComparisonText(c)) + "\n";
    }
    ShowList();
    if (outcome.all_verified()) return;
    message_(QMessageBox::Warning, Q(Pick(kCaptionError, english)),
             Q(Pick(kMsgVerifyDiffers, english)).arg(Q(VerifySummary(outcome)), lines.trimmed()));
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
    if (verify_) {
        if (verify_->done) FinishVerify();
        return;
    }
    if (!Usable() || !form_.Flags.IsWriting) return;
    const DeckWriter::TickResult result = writer_->OnWriteTick(Options());
    if (result == DeckWriter::TickResult::Finished && verify_planned_) StartVerify();
    if (result != DeckWriter::TickResult::Playing && result != DeckWriter::TickResult::NextFile) {
        verify_planned_ = false;
    }
}

void TWritePage::FormClosing() {
    if (verify_) {
        // Every wait of the verification looks at this, so closing completes.
        verify_->cancel = true;
        verify_->thread.join();
        verify_.reset();
    }
    if (Usable() && writer_->writing()) writer_->Stop(Options());
}

}  // namespace tessaline
