#include "app/recording_bar.h"

#include <QKeyEvent>

#include "app/data_info_page.h"
#include "app/main_form.h"
#include "app/qt_text.h"

namespace tessaline {

TRecordingBar::TRecordingBar(TFormQuillor& form) : QObject(&form), form_(form) {}

void TRecordingBar::Bind() {
    TFormQuillor& f = form_;
    connect(f.btnRec, &QPushButton::clicked, this, [this] { btnRecClick(); });
    connect(f.btnStop, &QPushButton::clicked, this, [this] { btnStopClick(); });
    connect(f.btnTimeAdd, &QPushButton::clicked, this, [this] { btnTimeAddClick(); });
    f.edtTime->installEventFilter(this);
}

// Both go through the timetable, which holds the busy gate while they run (a question of the
// start among it), so that no tick starts a recording meanwhile.
void TRecordingBar::btnRecClick() {
    if (form_.Recording() && form_.Schedule()) form_.Schedule()->StartByHand();
}

void TRecordingBar::btnStopClick() {
    if (form_.Recording() && form_.Schedule()) form_.Schedule()->StopByHand();
}

void TRecordingBar::btnTimeAddClick() {
    if (RecordingControl* control = form_.Recording()) control->Extend();
}

bool TRecordingBar::edtTimeKeyPress(QChar typed) {
    return typed.unicode() < 32 || (typed >= '0' && typed <= '9');
}

bool TRecordingBar::eventFilter(QObject* watched, QEvent* event) {
    if (watched == form_.edtTime && event->type() == QEvent::KeyPress) {
        const QString text = static_cast<QKeyEvent*>(event)->text();
        for (QChar c : text) {
            if (!edtTimeKeyPress(c)) return true;  // discarded
        }
    }
    return QObject::eventFilter(watched, event);
}

void TRecordingBar::chkFileNameClick() {
    TFormQuillor& f = form_;
    const bool checked = f.chkFileName->isChecked();
    f.Settings.UseFileName = checked;
    f.edtFileName->setEnabled(checked);
    SetFieldColour(f.edtFileName, checked ? FieldColour::Window : FieldColour::ButtonFace);
}

RecordingOptions TRecordingBar::ReadOptions() {
    const TFormQuillor& f = form_;
    // The boxes as they are now, not as last saved.
    RecordingOptions o = RecordingOptionsFrom(f.Settings);
    o.DateFormat = S(f.edtDateFormat->text());
    o.DurationText = S(f.edtTime->text());
    o.UseFileName = f.chkFileName->isChecked();
    o.FileName = S(f.edtFileName->text());
    o.Pes = f.chkPES->isChecked();
    o.Trim = f.chkTrimPacket->isChecked();
    return o;
}

void TRecordingBar::ApplyCorrections(const RecordingOptions& c) {
    TFormQuillor& f = form_;
    auto show = [](QLineEdit* box, std::string& setting, const std::string& value) {
        setting = value;
        if (box->text() != Q(value)) box->setText(Q(value));
    };
    show(f.edtPSExt, f.Settings.PsExt, c.PsExt);
    show(f.edtTS188Ext, f.Settings.Ts188Ext, c.Ts188Ext);
    show(f.edtTS192Ext, f.Settings.Ts192Ext, c.Ts192Ext);
    show(f.edtNameFormat, f.Settings.NameFormat, c.NameFormat);
    show(f.edtDateFormat, f.Settings.DateFormat, c.DateFormat);
}

void TRecordingBar::SaveSettings() {
    form_.SaveSettings();
}

void TRecordingBar::ShowError(const BilingualText& text) {
    ShowError(text.Pick(form_.Flags.UseEnglish));
}

void TRecordingBar::ShowError(const std::string& text) {
    form_.Message(QMessageBox::Critical, kCaptionError, Q(text));
}

bool TRecordingBar::AskYesNo(const BilingualText& text) {
    return form_.Message(QMessageBox::Question, kCaptionQuestion,
                         Q(text.Pick(form_.Flags.UseEnglish)),
                         QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void TRecordingBar::FocusDuration() {
    form_.edtTime->setFocus();
}

void TRecordingBar::ShowDataInfoPage() {
    form_.pgPage->setCurrentWidget(form_.TabSheet2);
}

void TRecordingBar::UpdateControlStates() {
    form_.UpdateControlStates();
}

void TRecordingBar::SetStatusPanel(int panel, const std::string& text) {
    const QString value = Q(text);
    if (form_.sbStatus->Text(panel) != value) form_.sbStatus->SetText(panel, value);
}

void TRecordingBar::ShowDataInfo(const DataInfoUpdate& update) {
    form_.DataInfoPage().Apply(update);
}

void TRecordingBar::RepaintReservations() {
    form_.sgTimer->viewport()->update();
}

}  // namespace tessaline
