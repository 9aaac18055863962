// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/reservation_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QEvent>
#include <QGroupBox>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QTimeEdit>
#include <cstdio>

#include "app/captions.h"
#include "app/ini_file.h"
#include "app/main_form.h"
#include "app/picker_time.h"
#include "app/qt_text.h"
#include "app/reservation_grid.h"
#include "capture/ds_capture.h"

namespace tessaline {

namespace {

namespace L = reserve_layout;
using namespace std::chrono;

constexpr MessageText kMsgEndNotAfterStart = {
    "終了時刻が開始時刻と同じか、開始時刻より前になっています",
    "Please check START TIME and END TIME"};
constexpr MessageText kMsgStartPassed = {"すでに開始時刻を過ぎています",
                                         "It has passed over START TIME"};
constexpr MessageText kMsgEditRunning = {
    "現在実行中の予約は修正できません", "The reservation under present execution is uncorrectable"};
constexpr MessageText kMsgDeleteQuestion = {"指定した予約を削除しても良いですか？",
                                            "Delete Selected Reserve ?"};
constexpr MessageText kMsgDeleteRunning = {
    "現在実行中の予約は削除できません",
    "The reservation under present execution cannot be deleted."};
constexpr MessageText kMsgClearQuestion = {"全ての予約をクリアしても良いですか？",
                                           "Clear All Reserve ?"};

QString ReserveMaxText(bool english, int max) {
    return english ? QString("Reserve MAX : %1").arg(max)
                   : QString::fromUtf8("予約は最大%1個です").arg(max);
}

int DigitAt(const std::string& record, size_t at, int otherwise) {
    if (record.size() <= at || record[at] < '0' || record[at] > '9') return otherwise;
    return record[at] - '0';
}

}  // namespace

TReservationPage::FileStamp TReservationPage::FileStampOf(const std::filesystem::path& path) {
    FileStamp stamp;
    std::error_code ec;
    stamp.mtime = std::filesystem::last_write_time(path, ec);
    if (ec) return {};
    stamp.size = std::filesystem::file_size(path, ec);
    return stamp;
}

TReservationPage::TReservationPage(TFormQuillor& form)
    : QObject(&form), form_(form), file_(form.SettingsPath()) {
    form_.sgTimer->SetDrawCell([this](QPainter& p, int c, int r, const QRect& rect, bool sel) {
        sgTimerDrawCell(p, c, r, rect, sel);
    });
    ConnectHandlers();
}

TReservationPage::~TReservationPage() = default;

void TReservationPage::ConnectHandlers() {
    TFormQuillor& f = form_;
    connect(f.btnAdd, &QPushButton::clicked, this, [this] { btnAddClick(); });
    connect(f.btnEdit, &QPushButton::clicked, this, [this] { btnEditClick(); });
    connect(f.btnEsc, &QPushButton::clicked, this, [this] { btnEscClick(); });
    connect(f.btnDel, &QPushButton::clicked, this, [this] { btnDelClick(); });
    connect(f.btnClear, &QPushButton::clicked, this, [this] { btnClearClick(); });
    connect(f.chkTimer, &QCheckBox::toggled, this, [this] { chkTimerClick(); });
    for (QCheckBox* box : {f.chkWeekMon, f.chkWeekTue, f.chkWeekWed, f.chkWeekThu, f.chkWeekFri,
                           f.chkWeekSat, f.chkWeekSun, f.chkSkip}) {
        connect(box, &QCheckBox::toggled, this, [this] { chkWeekClick(); });
    }
    f.dpDateE->installEventFilter(this);
    f.dpTimeE->installEventFilter(this);
    // The editor always shows the record picked in the grid (while not editing one).
    connect(f.sgTimer, &QTableWidget::currentCellChanged, this, [this] { ShowSelectedInEditor(); });
    connect(f.cmbVid, &QComboBox::activated, this, [this] { edit_device_.reset(); });
}

bool TReservationPage::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusIn) {
        if (watched == form_.dpDateE) dpDateEEnter();
        if (watched == form_.dpTimeE) dpTimeEEnter();
    }
    return QObject::eventFilter(watched, event);
}

void TReservationPage::Error(const QString& text) {
    form_.Message(QMessageBox::Critical, kCaptionError, text);
}

// ---- The list ------------------------------------------------------------------------------

void TReservationPage::LoadReservations() {
    const int stale = ReadList(true);
    RepaintGrid();
    ResetReservationEditor();
    // A record left running by a run that ended while it recorded is aborted, in the file too.
    if (stale > 0) SaveReservations();
}

int TReservationPage::ReadList(bool missing_is_empty) {
    IniReadResult read = ReadIniFile(form_.SettingsPath());
    stamp_ = FileStampOf(form_.SettingsPath());
    if (read.status != IniReadStatus::Ok) {
        if (!missing_is_empty) return 0;
        read.file = IniFile();
    }
    // While the service runs the timetable its running record is shown as it stands; as the
    // runner, a record left running by a run that ended is aborted.
    return file_.Load(list_, read.file, form_.Settings.MaxReserve, form_.RunsTimetable());
}

bool TReservationPage::SaveReservations() {
    return Store() == ReservationFile::SaveResult::Saved;
}

ReservationFile::SaveResult TReservationPage::Store(
    const std::function<std::string(const ReservationList& stored)>& check) {
    const std::filesystem::path& path = form_.SettingsPath();
    // Read again and written back in one step under the file's lock, merged by record with what
    // the service wrote meanwhile; every other key survives, and the write replaces the whole
    // file at once, so a crash in the middle leaves the old list or the new one.
    const std::string selected = SelectedRecord();
    std::string error;
    const ReservationFile::SaveResult result =
        file_.Save(list_, form_.Settings.MaxReserve, form_.RunsTimetable(), error, check);
    if (result == ReservationFile::SaveResult::Saved) stamp_ = FileStampOf(path);
    if (result != ReservationFile::SaveResult::Failed) {
        SelectRecord(selected);
        return result;
    }
    const QString text =
        Q(Pick(kMsgCannotWrite, form_.Flags.UseEnglish)).replace("%s", Q(path.string()));
    if (form_.unattended_) {
        std::fprintf(stderr, "tessaline: %s (%s)\n", text.toLocal8Bit().constData(), error.c_str());
    } else {
        Error(text);
    }
    return result;
}

std::string TReservationPage::SelectedRecord() const {
    const int i = RecordIndexOfSelectedRow();
    return i < 0 ? std::string() : list_[i];
}

void TReservationPage::SelectRecord(const std::string& record) {
    if (record.empty()) return;
    const int i = FindRecord(list_, record);
    if (i >= 0 && form_.sgTimer->Row() != i + 1) form_.sgTimer->SetRow(i + 1);
}

void TReservationPage::RepaintGrid() {
    form_.sgTimer->viewport()->update();
    ShowSelectedInEditor();
}

int TReservationPage::RecordIndexOfSelectedRow() const {
    const int row = form_.sgTimer->Row();
    if (row < 1 || row > list_.Count()) return -1;
    return row - 1;
}

// ---- Editor --------------------------------------------------------------------------------

bool TReservationPage::AnyWeekdayChecked() const {
    const TFormQuillor& f = form_;
    for (const QCheckBox* box : {f.chkWeekMon, f.chkWeekTue, f.chkWeekWed, f.chkWeekThu,
                                 f.chkWeekFri, f.chkWeekSat, f.chkWeekSun}) {
        if (box->isChecked()) return true;
    }
    return false;
}

void TReservationPage::ResetReservationEditor() {
    TFormQuillor& f = form_;
    const bool on = f.chkTimer->isChecked();
    const auto children = f.gbTimer->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    for (QWidget* w : children) {
        if (auto* box = qobject_cast<QCheckBox*>(w)) box->setChecked(false);
    }
    for (QWidget* w : children) {
        if (qobject_cast<QDateTimeEdit*>(w) || qobject_cast<QComboBox*>(w) ||
            qobject_cast<QLineEdit*>(w)) {
            SetFieldColour(w, on ? FieldColour::Window : FieldColour::ButtonFace);
        }
        w->setEnabled(on);
    }
    f.sgTimer->setEnabled(!EditingReservation);
    const bool manage = !EditingReservation && !list_.Empty() && on;
    f.btnDel->setEnabled(manage);
    f.btnClear->setEnabled(manage);
    f.btnEdit->setEnabled(manage);
    f.btnEsc->setEnabled(EditingReservation);
}

void TReservationPage::LoadEditor(const std::string& record, bool with_device) {
    TFormQuillor& f = form_;
    const std::string_view start = RecordField(record, L::kStart);
    const std::string_view end = RecordField(record, L::kEnd);
    const bool weekly = IsWeeklyField(start);
    QCheckBox* const days[] = {f.chkWeekMon, f.chkWeekTue, f.chkWeekWed, f.chkWeekThu,
                               f.chkWeekFri, f.chkWeekSat, f.chkWeekSun};
    for (size_t i = 0; i < 7; ++i) days[i]->setChecked(weekly && start[i + 1] == '0');
    if (weekly) {
        if (const auto t = ParseClockTime(start.substr(L::kTimeInField)))
            f.dpTimeS->setTime(PickerTime(*t));
        if (IsWeeklyField(end)) {
            if (const auto t = ParseClockTime(end.substr(L::kTimeInField)))
                f.dpTimeE->setTime(PickerTime(*t));
        }
    } else {
        // A field that cannot be read (a hand-edited record) leaves its pickers as they are.
        if (const auto t = ParseDateTime(start)) {
            f.dpDateS->setDate(PickerDate(*t));
            f.dpTimeS->setTime(PickerTime(*t));
        }
        if (const auto t = ParseDateTime(end)) {
            f.dpDateE->setDate(PickerDate(*t));
            f.dpTimeE->setTime(PickerTime(*t));
        }
    }
    if (with_device) {
        // Picking a deck closes the open one: never while it records, converts or writes.
        if (f.Flags.Busy()) {
            edit_device_ = DigitAt(record, L::kDevice, 0);
        } else {
            edit_device_.reset();
            f.cmbVid->setCurrentIndex(DigitAt(record, L::kDevice, 0));
            f.cmbVidClick();
        }
    }
    const int action = DigitAt(record, L::kAction, 0);
    f.cmbPower->setCurrentIndex(action <= 4 ? action : 0);
    f.chkSkip->setChecked(record.size() > L::kSkip && record[L::kSkip] == '0');
    f.edtFileResv->setText(record.size() > L::kName
                               ? QString::fromStdString(record.substr(L::kName, kMaxReadName))
                               : QString());
}

void TReservationPage::ShowSelectedInEditor() {
    // The editor holds the person's changes while editing, and a refresh of the list from the
    // file never throws away what is being typed.
    if (EditingReservation || following_) return;
    const int i = RecordIndexOfSelectedRow();
    if (i >= 0) LoadEditor(list_[i], false);
}

void TReservationPage::btnAddClick() {
    TFormQuillor& f = form_;
    const bool english = f.Flags.UseEnglish;
    const int max = f.Settings.MaxReserve;
    if (!EditingReservation && list_.Count() >= max) {
        Error(ReserveMaxText(english, max));
        f.dpDateS->setFocus();
        return;
    }
    std::string start_field, end_field;
    if (AnyWeekdayChecked()) {
        const WeekDays days = {f.chkWeekMon->isChecked(), f.chkWeekTue->isChecked(),
                               f.chkWeekWed->isChecked(), f.chkWeekThu->isChecked(),
                               f.chkWeekFri->isChecked(), f.chkWeekSat->isChecked(),
                               f.chkWeekSun->isChecked()};
        start_field = WeeklyField(days, PickedClockTime(f.dpTimeS->time()));
        end_field = WeeklyField(days, PickedClockTime(f.dpTimeE->time()));
    } else {
        const DateTime start = PickedDateTime(f.dpDateS->date(), f.dpTimeS->time());
        const DateTime end = PickedDateTime(f.dpDateE->date(), f.dpTimeE->time());
        if (start >= end) {
            Error(Q(Pick(kMsgEndNotAfterStart, english)));
            f.dpTimeE->setFocus();
            return;
        }
        if (form_.clock_->NowInstant() > ToInstant(start)) {
            Error(Q(Pick(kMsgStartPassed, english)));
            f.dpTimeS->setFocus();
            return;
        }
        start_field = OneTimeField(start);
        end_field = OneTimeField(end);
    }
    ReservationTail tail;
    // With no deck selected (-1) the record names the first one: the one-digit field must stay
    // one digit, and the first deck is what an edit of such a record would pick too.
    tail.device = EditingReservation && edit_device_ ? *edit_device_ : f.cmbVid->currentIndex();
    const int power = f.cmbPower->currentIndex();
    tail.action = static_cast<AfterActionKind>(power >= 0 && power <= 4 ? power : 0);
    tail.skip = f.chkSkip->isChecked();
    tail.name = f.edtFileResv->text().trimmed().toStdString();
    const std::string record = BuildReservation(start_field, end_field, tail);

    // The schedule (here or in the service) may have started the record while it was being
    // edited: replacing it now would lose the running reservation's record. Looked at in the
    // list, then again in the file itself as it is written.
    const std::string edited = EditingReservation ? editing_ : std::string();
    const int at = edited.empty() ? -1 : FindRecord(list_, edited);
    if (at >= 0 && IsRunning(list_[at])) {
        Error(Q(Pick(kMsgEditRunning, english)));
        f.btnEsc->setFocus();
        return;
    }
    const ReservationList before = list_;
    if (at >= 0) {
        list_.Replace(at, record);
    } else {
        list_.Add(record);
    }
    bool running = false;
    const auto result = Store([&](const ReservationList& stored) -> std::string {
        const int was = edited.empty() ? -1 : FindRecord(stored, edited);
        if (was >= 0 && IsRunning(stored[was])) {
            running = true;
            return "running";
        }
        if (edited.empty() && stored.Count() >= max && FindRecord(stored, record) < 0) {
            return "full";
        }
        return {};
    });
    if (result == ReservationFile::SaveResult::Refused) {
        list_ = before;
        RepaintGrid();
        if (running) {
            Error(Q(Pick(kMsgEditRunning, english)));
            f.btnEsc->setFocus();
        } else {
            Error(ReserveMaxText(english, max));
            f.dpDateS->setFocus();
        }
        return;
    }
    EditingReservation = false;
    edit_device_.reset();
    editing_.clear();
    ResetReservationEditor();
    RepaintGrid();
}

void TReservationPage::btnEditClick() {
    TFormQuillor& f = form_;
    const int i = RecordIndexOfSelectedRow();
    if (i < 0) return;
    const std::string record = list_[i];
    if (IsRunning(record)) {
        Error(Q(Pick(kMsgEditRunning, f.Flags.UseEnglish)));
        f.dpDateS->setFocus();
        return;
    }
    EditingReservation = true;
    editing_ = record;
    ResetReservationEditor();
    LoadEditor(record, true);
    if (IsWeeklyField(RecordField(record, L::kStart))) {
        f.dpTimeS->setFocus();
    } else {
        f.dpDateS->setFocus();
    }
}

void TReservationPage::btnEscClick() {
    EditingReservation = false;
    edit_device_.reset();
    editing_.clear();
    ResetReservationEditor();
}

void TReservationPage::btnDelClick() {
    TFormQuillor& f = form_;
    const int i = RecordIndexOfSelectedRow();
    if (i < 0) return;
    const bool english = f.Flags.UseEnglish;
    const std::string record = list_[i];
    if (f.Message(QMessageBox::Question, kCaptionQuestion, Q(Pick(kMsgDeleteQuestion, english)),
                  QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
        return;
    }
    // While the question was open the schedule may have started or re-armed the record, which
    // rewrites it; what is deleted is the record the person chose, and never a running one.
    const int at = list_.Find(record);
    if (IsRunning(record) || at < 0) {
        if (IsRunning(record) || list_.AnyRunning()) {
            Error(Q(Pick(kMsgDeleteRunning, english)));
            f.dpDateS->setFocus();
        }
        return;
    }
    const ReservationList before = list_;
    list_.Delete(at);
    const auto result = Store([&](const ReservationList& stored) -> std::string {
        const int now = FindRecord(stored, record);
        return now >= 0 && IsRunning(stored[now]) ? "running" : "";
    });
    if (result == ReservationFile::SaveResult::Refused) {
        // The service started it meanwhile.
        list_ = before;
        RepaintGrid();
        Error(Q(Pick(kMsgDeleteRunning, english)));
        f.dpDateS->setFocus();
        return;
    }
    RepaintGrid();
    ResetReservationEditor();
}

void TReservationPage::btnClearClick() {
    TFormQuillor& f = form_;
    if (f.Message(QMessageBox::Question, kCaptionQuestion,
                  Q(Pick(kMsgClearQuestion, f.Flags.UseEnglish)),
                  QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
        return;
    }
    if (list_.AnyRunning()) return;
    const ReservationList before = list_;
    list_.Clear();
    const auto result = Store([](const ReservationList& stored) -> std::string {
        return stored.AnyRunning() ? "running" : "";
    });
    if (result == ReservationFile::SaveResult::Refused) list_ = before;  // nothing is said
    RepaintGrid();
    ResetReservationEditor();
}

void TReservationPage::chkTimerClick() {
    TFormQuillor& f = form_;
    if (EditingReservation) {
        f.chkTimer->setChecked(true);
        return;
    }
    const DateTime now = form_.clock_->Now();
    f.dpDateS->setDate(PickerDate(now));
    f.dpDateE->setDate(PickerDate(now));
    f.dpTimeS->setTime(PickerTime(now));
    f.dpTimeE->setTime(PickerTime(now));
    f.cmbPower->setCurrentIndex(0);
    ResetReservationEditor();
}

void TReservationPage::chkWeekClick() {
    TFormQuillor& f = form_;
    const bool dates = !AnyWeekdayChecked() && f.chkTimer->isChecked();
    f.dpDateS->setEnabled(dates);
    f.dpDateE->setEnabled(dates);
}

void TReservationPage::EndPickersAtStartWhenNotAfter() {
    TFormQuillor& f = form_;
    if (AnyWeekdayChecked()) return;
    if (PickedDateTime(f.dpDateS->date(), f.dpTimeS->time()) <
        PickedDateTime(f.dpDateE->date(), f.dpTimeE->time())) {
        return;
    }
    f.dpDateE->setDate(f.dpDateS->date());
    f.dpTimeE->setTime(f.dpTimeS->time());
}

void TReservationPage::dpDateEEnter() {
    EndPickersAtStartWhenNotAfter();
}

void TReservationPage::dpTimeEEnter() {
    EndPickersAtStartWhenNotAfter();
}

// ---- Grid ----------------------------------------------------------------------------------

QString TReservationPage::CellText(int col, int row) const {
    return ReservationCellText(list_, col, row, form_.Flags.UseEnglish);
}

void TReservationPage::sgTimerDrawCell(QPainter& painter, int col, int row, const QRect& rect,
                                       bool selected) {
    PaintReservationCell(painter, form_.sgTimer->palette(), list_, col, row, rect, selected,
                         form_.Flags.UseEnglish);
}

// ---- Schedule ------------------------------------------------------------------------------

ScheduleOptions TReservationPage::Options() const {
    const TCaptureSettings& s = form_.Settings;
    ScheduleOptions options;
    options.max_reserve = s.MaxReserve;
    options.power_on_sec = -s.PowerOnSec;  // kept negated in memory
    options.reserve_power_on = s.ReservePowerOn;
    return options;
}

void TReservationPage::ScheduleTick() {
    if (!form_.RunsTimetable()) {
        FollowService();
        return;
    }
    if (Timetable* timetable = form_.Schedule()) timetable->RunScheduleTick(Options());
}

void TReservationPage::SelectDevice(int index) {
    form_.cmbVid->setCurrentIndex(index);
    form_.cmbVidClick();
}

void TReservationPage::RepaintReservations() {
    form_.sgTimer->viewport()->update();
}

std::string TReservationPage::DeckName(int index) {
    if (index < 0 || index >= form_.cmbVid->count()) return {};
    return form_.cmbVid->itemText(index).toStdString();
}

void TReservationPage::ReservationWaits(const std::string& record, const std::string& why) {
    // Said once while it waits; the grid shows it waiting all the same.
    if (record == said_waiting_) return;
    said_waiting_ = record;
    std::fprintf(stderr, "tessaline: the reservation %s waits: %s\n",
                 ReservationText(RecordField(record, L::kStart), true).c_str(), why.c_str());
}

void TReservationPage::FollowService() {
    // About once a second (the tick comes every 50 ms): take the timetable over when the
    // service has ended.
    if (++follow_ticks_ % 20 == 0 && form_.TakeTimetable()) {
        std::fprintf(stderr,
                     "tessaline: the service no longer runs the timetable; this window "
                     "runs it now\n");
        LoadReservations();  // as its runner: a record the service left running is aborted
        return;
    }
    // Statuses the service wrote show up in the grid, by record; what the person has typed and
    // not registered yet stays, and so does the editor. A file that cannot be read just now
    // leaves the list as it is.
    if (FileStampOf(form_.SettingsPath()) == stamp_) return;
    const IniReadResult read = ReadIniFile(form_.SettingsPath());
    if (read.status != IniReadStatus::Ok) return;
    stamp_ = FileStampOf(form_.SettingsPath());
    const std::string selected = SelectedRecord();
    file_.Follow(list_, read.file, form_.Settings.MaxReserve, false);
    following_ = true;
    SelectRecord(selected);
    following_ = false;
    RepaintReservations();
}

int TReservationPage::FindRecord(const ReservationList& list, const std::string& record) {
    const std::string id = RecordIdentity(record);
    for (int i = 0; i < list.Count(); ++i) {
        if (RecordIdentity(list[i]) == id) return i;
    }
    return -1;
}

}  // namespace tessaline
