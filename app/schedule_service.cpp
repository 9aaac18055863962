// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/schedule_service.h"

#include <algorithm>

#include "app/ini_file.h"
#include "capture/ds_capture.h"
#include "capture/recording_sequence.h"
#include "recording/private_folder.h"
#include "recording/recorder_registry.h"
#include "recording/schedule_rules.h"
#include "recording/timetable.h"
#include "stream/capture_data_path.h"
#include "stream/stream_context.h"

namespace tessaline {

namespace {

using namespace std::chrono;

// How often decks are looked for again while none can be used.
constexpr seconds kDeckSearchInterval{30};

// What the log shows of a record: its start and end as the grid shows them, and its name.
std::string Describe(std::string_view record, bool english) {
    namespace L = reserve_layout;
    std::string text = ReservationText(record.substr(0, L::kFieldWidth), english);
    if (record.size() > L::kEnd) {
        text += " - " + ReservationText(record.substr(L::kEnd, L::kFieldWidth), english);
    }
    if (record.size() > L::kName) text += " \"" + std::string(record.substr(L::kName)) + "\"";
    return text;
}

std::string StatusWord(std::string_view record) {
    const auto status = StatusOf(record);
    if (!status) return "?";
    switch (*status) {
        case RecordStatus::Running:
            return "Run";
        case RecordStatus::Aborted:
            return "Abort";
        case RecordStatus::Done:
            return "Done";
        default:
            return "waiting";
    }
}

class LogMessages final : public MessageSink {
  public:
    explicit LogMessages(std::function<void(const std::string&)> log) : log_(std::move(log)) {}
    void ShowError(const std::string& caption, const std::string& text) override {
        log_((caption.empty() ? std::string("error") : caption) + ": " + text);
    }

  private:
    std::function<void(const std::string&)> log_;
};

}  // namespace

// Recording control's and the timetable's view of a front end that has no window.
class ScheduleService::Host final : public RecordingHost, public TimetableHost {
  public:
    explicit Host(ScheduleService& service) : s_(service) {}

    RecordingOptions ReadOptions() override { return s_.ReadOptions(); }
    void ApplyCorrections(const RecordingOptions& c) override {
        TCaptureSettings& t = s_.settings_;
        t.PsExt = c.PsExt;
        t.Ts188Ext = c.Ts188Ext;
        t.Ts192Ext = c.Ts192Ext;
        t.NameFormat = c.NameFormat;
        t.DateFormat = c.DateFormat;
        s_.corrected_ = true;
    }
    // The file is the truth here: only what a start corrected is written back.
    void SaveSettings() override { s_.SaveCorrections(); }
    void ShowError(const BilingualText& text) override {
        ShowError(text.Pick(s_.options_.english));
    }
    void ShowError(const std::string& text) override { s_.LogLine("error: " + text); }
    // Only a start by hand asks, and the service never starts by hand.
    bool AskYesNo(const BilingualText& text) override {
        s_.LogLine("not asked, answered no: " + text.Pick(s_.options_.english));
        return false;
    }
    void FocusDuration() override {}
    void ShowDataInfoPage() override {}
    void UpdateControlStates() override {}
    void SetStatusPanel(int, const std::string&) override {}
    void ShowDataInfo(const DataInfoUpdate&) override {}
    void RepaintReservations() override {}

    void SelectDevice(int index) override {
        s_.box_.SetItemIndex(index);
        // The stored deck is the window's choice; the service does not write it.
        tessaline::cmbVidClick(*s_.capture_, s_.box_, s_.selection_, s_.flags_, {});
    }
    bool SaveReservations() override { return s_.SaveReservations(); }
    std::string DeckName(int index) override {
        return index >= 0 && static_cast<size_t>(index) < s_.box_.items.size()
                   ? s_.box_.items[static_cast<size_t>(index)]
                   : std::string();
    }
    void ReservationWaits(const std::string& record, const std::string& why) override {
        s_.LogWaiting(record, why);
    }

  private:
    ScheduleService& s_;
};

ScheduleService::ScheduleService(MediaFramework& framework, Clock& clock, PowerActions& power,
                                 WakeAlarm& alarm, Log log, ScheduleServiceOptions options)
    : framework_(framework),
      clock_(clock),
      power_(power),
      alarm_(alarm),
      log_(std::move(log)),
      options_(std::move(options)),
      file_(options_.settings_path) {
    settings_ = DefaultCaptureSettings(options_.default_folder);
    flags_.UseEnglish = options_.english;
    stream_ = std::make_unique<StreamContext>();
    data_path_ = std::make_unique<CaptureDataPath>(*stream_);
    messages_ = std::make_unique<LogMessages>([this](const std::string& l) { LogLine(l); });
    capture_ = std::make_unique<CDSCapture>(framework_, *messages_, *stream_, *data_path_);
    host_ = std::make_unique<Host>(*this);
    sequence_ = std::make_unique<RecordingSequence>(*capture_, *stream_, *data_path_, *messages_);
    waking_power_ = std::make_unique<WakeBeforePowerActions>(power_, [this](int action) {
        NoteStop();
        return BeforePowerAction(action);
    });
    control_ = std::make_unique<RecordingControl>(*sequence_, *capture_, *stream_, flags_, *host_,
                                                  clock_);
    control_->SetPowerActions(waking_power_.get());
    registry_ = std::make_unique<RecorderRegistry>(PrivateFolder(), options_.settings_path);
    control_->SetRegistry(registry_.get(), "service");
    timetable_ = std::make_unique<Timetable>(*control_, list_, *host_);
}

ScheduleService::~ScheduleService() {
    End();
}

void ScheduleService::LogLine(const std::string& line) const {
    if (log_) log_(line);
}

ScheduleService::FileStamp ScheduleService::Stamp() const {
    FileStamp s;
    std::error_code ec;
    const auto status = std::filesystem::status(options_.settings_path, ec);
    if (ec || !std::filesystem::exists(status)) return s;
    s.exists = true;
    s.mtime = std::filesystem::last_write_time(options_.settings_path, ec);
    s.size = std::filesystem::file_size(options_.settings_path, ec);
    return s;
}

bool ScheduleService::ReadSettingsFile(bool first) {
    const FileStamp stamp = Stamp();
    const IniReadResult read = ReadIniFile(options_.settings_path);
    const std::string where = options_.settings_path.string();
    if (read.status == IniReadStatus::TooLarge || read.status == IniReadStatus::Unreadable ||
        (!first && read.status == IniReadStatus::Missing)) {
        if (!file_broken_) {
            const std::string why =
                read.status == IniReadStatus::Missing ? std::string("it is gone") : read.error;
            LogLine("cannot read " + where + " (" + why + ")" +
                    (first ? std::string() : "; keeping the last good timetable and not writing "
                                             "the file until it can be read again"));
        }
        file_broken_ = true;
        stamp_ = stamp;
        return false;
    }
    if (file_broken_) LogLine("reading " + where + " again");
    file_broken_ = false;
    stamp_ = stamp;

    settings_ = ReadCaptureSettings(read.file, options_.default_folder);
    if (first) {
        // This runner starts: a record left running by a runner that ended is aborted.
        const int stale = file_.Load(list_, read.file, settings_.MaxReserve, true);
        if (stale > 0) {
            LogLine("marked " + std::to_string(stale) +
                    " reservation(s) left running by an earlier run as aborted");
            SaveReservations();
        }
        return true;
    }
    // An edit from the window, taken in by record: what runs here stays running.
    file_.Follow(list_, read.file, settings_.MaxReserve, true);
    LogLine("timetable changed in " + where + ": " + std::to_string(list_.Count()) +
            " reservation(s)");
    // Statuses set while the file could not be read or written are written now.
    if (unsaved_) SaveReservations();
    return true;
}

bool ScheduleService::SaveReservations() {
    const std::string where = options_.settings_path.string();
    if (file_broken_) {
        LogLine("not writing the timetable into " + where + ": it could not be read");
        unsaved_ = true;
        return false;
    }
    // Merged by record with what the window wrote since: its edits survive ours.
    std::string error;
    if (file_.Save(list_, settings_.MaxReserve, true, error) !=
        ReservationFile::SaveResult::Saved) {
        LogLine("cannot write the timetable into " + where + ": " + error);
        unsaved_ = true;
        return false;
    }
    unsaved_ = false;
    stamp_ = Stamp();  // our own write is no change to read again
    return true;
}

bool ScheduleService::SaveCorrections() {
    if (!corrected_ || file_broken_) return true;
    corrected_ = false;
    std::string error;
    const bool ok = UpdateIniFile(
        options_.settings_path,
        [this](IniFile& ini, std::string&) {
            namespace K = settings_key;
            ini.Set(kSettingsSection, K::kPsExt, settings_.PsExt);
            ini.Set(kSettingsSection, K::kTs188Ext, settings_.Ts188Ext);
            ini.Set(kSettingsSection, K::kTs192Ext, settings_.Ts192Ext);
            ini.Set(kSettingsSection, K::kNameFormat, settings_.NameFormat);
            ini.Set(kSettingsSection, K::kDateFormat, settings_.DateFormat);
            return true;
        },
        &error);
    if (!ok) {
        LogLine("cannot write the settings into " + options_.settings_path.string() + ": " +
                error);
        return false;
    }
    stamp_ = Stamp();
    return true;
}

RecordingOptions ScheduleService::ReadOptions() const {
    return RecordingOptionsFrom(settings_);
}

ScheduleOptions ScheduleService::Options() const {
    ScheduleOptions o;
    o.max_reserve = settings_.MaxReserve;
    o.power_on_sec = -settings_.PowerOnSec;  // kept negated in memory
    o.reserve_power_on = settings_.ReservePowerOn;
    return o;
}

void ScheduleService::ReportMissed() {
    // At the start, and whenever the end of a waiting one-time reservation passes without it
    // running (the recorder was busy, or the clock jumped): each one once.
    const Instant now = clock_.NowInstant();
    const int n = std::min(list_.Count(), settings_.MaxReserve);
    for (int i = 0; i < n; ++i) {
        const auto r = ParseReservation(list_[i]);
        if (!r || !MissedReservation(*r, now) || !missed_.insert(list_[i]).second) continue;
        LogLine("missed: " + Describe(list_[i], options_.english) +
                " (its end passed before it could run)");
    }
}

void ScheduleService::ListDecks() {
    next_deck_search_ = clock_.NowInstant() + kDeckSearchInterval;
    flags_.DeviceReady = FillDeviceList(*capture_, box_, flags_, *messages_);
    if (!flags_.DeviceReady) {
        if (!decks_missing_) {
            LogLine(DeviceNotFoundText(true) + "; looking again every " +
                    std::to_string(kDeckSearchInterval.count()) + " seconds");
        }
        decks_missing_ = true;
        return;
    }
    decks_missing_ = false;
    selection_.LastDeviceIndex = -1;
    box_.SetItemIndex(SavedDeviceIndex(settings_.DeviceIndex, box_.Count()));
    tessaline::cmbVidClick(*capture_, box_, selection_, flags_, {});
    std::string names;
    for (size_t i = 0; i < box_.items.size(); ++i) {
        names += (i ? ", " : "") + std::to_string(i) + " " + box_.items[i];
    }
    LogLine("decks: " + names);
}

bool ScheduleService::Begin() {
    if (!ReadSettingsFile(true)) return false;
    LogLine("timetable " + options_.settings_path.string() + ": " +
            std::to_string(list_.Count()) + " reservation(s)");
    ReportMissed();
    ListDecks();
    return true;
}

void ScheduleService::LogDeckWakes() {
    if (settings_.ReservePowerOn || !flags_.DeviceReady || flags_.Busy()) return;
    const Instant now = clock_.NowInstant();
    const ScheduleOptions o = Options();
    const int n = std::min(list_.Count(), o.max_reserve);
    for (int i = 0; i < n; ++i) {
        const auto r = ParseReservation(list_[i]);
        if (!r) continue;
        const auto step = ScheduleStepAt(*r, now, o.power_on_sec);
        if (!step || !step->wake) continue;
        const std::string key =
            RecordIdentity(list_[i]) + FormatDateTime(ToLocal(step->window.start));
        if (woken_.insert(key).second) {
            LogLine("deck on: deck " + std::to_string(r->device) + " for " +
                    Describe(list_[i], options_.english));
        }
    }
}

void ScheduleService::LogStatusChanges(const std::vector<std::string>& before) {
    for (const std::string& now : list_.Records()) {
        if (std::find(before.begin(), before.end(), now) != before.end()) continue;
        const std::string id = RecordIdentity(now);
        const auto was = std::find_if(before.begin(), before.end(), [&](const std::string& b) {
            return RecordIdentity(b) == id;
        });
        if (was == before.end()) continue;  // a new record, not a status change
        LogLine("status: " + Describe(now, options_.english) + " " + StatusWord(*was) + " -> " +
                StatusWord(now));
    }
}

void ScheduleService::LogWaiting(const std::string& record, const std::string& why) {
    const auto r = ParseReservation(record);
    const auto window = r ? ScheduleWindow(*r, clock_.NowInstant()) : std::nullopt;
    const std::string key =
        RecordIdentity(record) + (window ? FormatDateTime(ToLocal(window->start)) : std::string());
    if (!waiting_.insert(key).second) return;
    LogLine("waits: " + Describe(record, options_.english) + " (" + why +
            "; it starts when that recording stops, while its time has not passed)");
}

void ScheduleService::Tick() {
    if (ended_) return;
    if (Stamp() != stamp_) ReadSettingsFile(false);
    if (!flags_.DeviceReady && !flags_.Busy() && clock_.NowInstant() >= next_deck_search_) {
        ListDecks();
    }

    tick_before_ = list_.Records();
    const bool was_recording = flags_.IsRecording;

    LogDeckWakes();
    timetable_->RunScheduleTick(Options());
    if (!was_recording && flags_.IsRecording) {
        const RecordingState& s = control_->State();
        LogLine("start: " + control_->FinalPath() + " until " + FormatDateTime(ToLocal(s.RecEnd)));
    }
    recording_at_monitor_ = flags_.IsRecording;
    timetable_->RunMonitorTick();
    NoteStop();
    ReportMissed();
}

void ScheduleService::NoteStop() {
    // Called after the monitor tick and, when a stop runs a power action, just before it: the
    // stop is told before what follows it.
    if (recording_at_monitor_ && !flags_.IsRecording) {
        recording_at_monitor_ = false;
        LogLine("stop: " + control_->FinalPath());
    }
    LogStatusChanges(tick_before_);
    tick_before_ = list_.Records();
}

bool ScheduleService::BeforePowerAction(int action) {
    const std::string name(PowerActionName(action));
    const SleepDecision d =
        DecideSleep(list_, settings_.MaxReserve, clock_.NowInstant(), -settings_.PowerOnSec,
                    options_.wake_margin_sec, registry_.get());
    if (!d.allowed) {
        LogLine("power action " + name + " not made: " + d.reason);
        return false;
    }
    // A dry run's action prints its own line.
    if (!options_.dry_run_power) LogLine("power action: " + name);
    if (d.wake_at) {
        alarm_.Set(*d.wake_at);
    } else {
        LogLine("wake alarm: not set, no reservation waits");
    }
    return true;
}

void ScheduleService::End() {
    if (ended_ || !timetable_) return;
    ended_ = true;
    const bool recording = flags_.IsRecording;
    const std::string file = control_->FinalPath();
    const std::vector<std::string> before = list_.Records();
    timetable_->Close();
    if (recording) LogLine("stop: " + file + " (ending)");
    LogStatusChanges(before);
    // The computer may be going down: wake it for the next reservation, as soon as it can be
    // when that one is close.
    const Instant now = clock_.NowInstant();
    if (const auto at = NextWakeTime(list_, settings_.MaxReserve, now, -settings_.PowerOnSec,
                                     options_.wake_margin_sec)) {
        alarm_.Set(std::max<Instant>(*at, floor<seconds>(now) + kSoonestWake));
    }
}

}  // namespace tessaline
