#include "recording/recording_control.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "capture/ds_capture.h"
#include "capture/recording_sequence.h"
#include "recording/date_pattern.h"
#include "recording/file_names.h"
#include "recording/report_session.h"
#include "recording/recorder_registry.h"
#include "stream/stream_context.h"
#include "stream/ts_analyser.h"

namespace tessaline {

namespace {

constexpr std::string_view kFallbackName = "\"D\"YYMMDDHHNNSS";
constexpr std::string_view kFallbackDate = "YYYYMMDD";

std::string Replace(std::string text, std::string_view key, const std::string& value) {
    const size_t at = text.find(key);
    if (at != std::string::npos) text.replace(at, key.size(), value);
    return text;
}

// The recording clock's time as Unix milliseconds, for the report.
int64_t UnixMs(Instant t) { return t.time_since_epoch().count(); }

}  // namespace

int DurationMinutes(std::string_view text) {
    if (text.empty() || text.size() > 9) return 0;
    int minutes = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        minutes = minutes * 10 + (c - '0');
    }
    return minutes;
}

RecordingControl::RecordingControl(RecordingSequence& sequence, CDSCapture& capture,
                                   StreamContext& stream, RunState& flags, RecordingHost& host,
                                   Clock& clock)
    : sequence_(sequence),
      capture_(capture),
      stream_(stream),
      flags_(flags),
      host_(host),
      clock_(clock) {}

RecordingControl::~RecordingControl() = default;

void RecordingControl::ArmReservation(Instant start, Instant end, std::string file_name,
                                      int after_action) {
    state_.IsReserveRecording = true;
    state_.RecStart = start;
    state_.RecEnd = end;
    if (file_name.size() > 512) file_name.resize(512);
    state_.ReserveFileName = std::move(file_name);
    state_.AfterAction = after_action;
}

bool RecordingControl::ChooseName(RecordingOptions& o, const std::string& date_text,
                                  NameChoice& choice) {
    // A name from the pattern is ours: it takes a counter rather than replace a file (two starts
    // within one second give the same name).
    auto pattern_name = [&] {
        const LocalDateTime now = ToLocalDateTime(clock_.Now());
        const std::string text =
            FormatDateTimePattern(o.NameFormat, now, PatternUse::FileName).value_or("");
        choice = {NameInFolder(o.SaveDir, text), true, NameSeries::Counted};
    };
    if (launch_) {
        if (state_.PowerAtLaunch) capture_.DevicePowerOn();
        pattern_name();
        return true;
    }
    if (state_.IsReserveRecording) {
        if (!state_.ReserveFileName.empty()) {
            choice = {NameInFolder(o.SaveDir, WithoutExtension(state_.ReserveFileName) + date_text),
                      true, NameSeries::Numbered};
        } else {
            pattern_name();
        }
        return true;
    }
    if (o.DurationText.empty()) {
        host_.ShowError(kMsgEmptyDuration);
        host_.FocusDuration();
        return false;
    }
    if (o.UseFileName && !o.FileName.empty()) {
        // A typed name is the user's choice: an existing file is replaced, after the question
        // when it is asked for.
        choice = {FitFileName(NameInFolder(o.SaveDir, WithoutExtension(o.FileName) + date_text),
                              state_.OutputExt),
                  false};
        if (o.CheckFileExists && FileExists(choice.base + state_.OutputExt) &&
            !host_.AskYesNo(kMsgOverwrite)) {
            return false;
        }
        // The program closed while the question was open: whatever the answer, nothing starts.
        if (closing_) return false;
    } else {
        pattern_name();
    }
    if (o.PowerOn) capture_.DevicePowerOn();
    return true;
}

bool RecordingControl::StartLaunch() {
    state_.StartAtLaunch = true;
    const bool started = Start();
    state_.StartAtLaunch = false;  // one attempt, whatever came of it
    return started;
}

bool RecordingControl::Start() {
    // "-S" names and times the one start it causes; a reservation never reads it. It is used up
    // by this attempt even when the attempt ends early.
    launch_ = !state_.IsReserveRecording && std::exchange(state_.StartAtLaunch, false);
    struct EndLaunch {
        bool& launch;
        ~EndLaunch() { launch = false; }
    } end_launch{launch_};

    // A conversion or a deck write shares the stream state: never start beside one.
    if (flags_.Busy() || closing_) return false;

    // 1. The graph: deck, then the grabber with our callback. A last recording whose graph would
    // not stop is tried again here, and reported when it still does not.
    if (!sequence_.PrepareGraph(flags_.UseEnglish)) return false;
    // One deck, one recorder: not beside another program's recording (a reservation has waited
    // for the deck before it got here).
    const std::string deck = capture_.SelectedDeviceName();
    if (registry_ && !state_.IsReserveRecording) {
        if (const auto other = registry_->OtherOn(deck)) {
            host_.ShowError(Replace(kMsgDeckInUse.Pick(flags_.UseEnglish), "%1",
                                    RecorderRegistry::Describe(*other)));
            return false;
        }
    }

    RecordingOptions o = host_.ReadOptions();
    bool corrected = false;

    // 2. The extension of the output mode, stored with its ".".
    std::string& setting = o.Pes ? o.PsExt : (o.Trim ? o.Ts188Ext : o.Ts192Ext);
    const std::string dotted = DottedExtension(setting);
    corrected = corrected || dotted != setting;
    setting = dotted;
    state_.OutputExt = FileNameExtension(dotted);

    // 3. and 4. Patterns that cannot be applied fall back to the defaults.
    const LocalDateTime now = ToLocalDateTime(clock_.Now());
    if (!FormatDateTimePattern(o.NameFormat, now)) {
        o.NameFormat = std::string(kFallbackName);
        corrected = true;
    }
    std::string date_text;
    if (o.AddDate) {
        std::optional<std::string> date =
            FormatDateTimePattern(o.DateFormat, now, PatternUse::FileName);
        if (!date) {
            o.DateFormat = std::string(kFallbackDate);
            corrected = true;
            date = FormatDateTimePattern(o.DateFormat, now, PatternUse::FileName);
        }
        date_text = date.value_or("");
    }
    if (corrected) host_.ApplyCorrections(o);

    // 5. The settings as they are now.
    host_.SaveSettings();
    options_ = o;

    // 6. and 7. The name.
    NameChoice choice;
    if (!ChooseName(o, date_text, choice)) return false;
    const std::string& ext = state_.OutputExt;
    state_.OutputBase = choice.series ? SeriesName(choice.kind, choice.base, ext, 0) : choice.base;
    state_.DelaySuffix.clear();

    // 8. to 11. Data path reset, file, carry-over, graph. The data path writes the mode whose
    // extension was chosen (the graph is stopped, so its options may change). A name of our own
    // is created only where no file is, the next one of its series otherwise.
    stream_.options.ConvPES = o.Pes;
    stream_.options.TrimPacket = o.Trim;
    const RecordingSequence::StartResult started =
        choice.series
            ? sequence_.StartNew(
                  [&](unsigned n) { return SeriesName(choice.kind, choice.base, ext, n) + ext; },
                  flags_.UseEnglish)
            : sequence_.Start(state_.OutputBase + ext, flags_.UseEnglish);
    if (started != RecordingSequence::StartResult::Started) {
        // "Cannot open output file", or the controller has said why the graph did not run (the
        // file it made holds nothing and is not kept).
        return false;
    }
    state_.OutputBase = sequence_.path().substr(0, sequence_.path().size() - ext.size());
    if (o.Report) StartReport(sequence_.path(), o);

    if (registry_) {
        std::string unseen;  // without its entry the recording goes on, only unseen by the others
        registry_->Register(deck, who_, unseen);
    }

    // 12. to 15.
    host_.ShowDataInfoPage();
    flags_.IsRecording = true;
    host_.UpdateControlStates();
    const int minutes = DurationMinutes(o.DurationText);
    state_.NoTimeLimit = minutes == 0;
    if (launch_) {
        state_.NoTimeLimit = true;
        state_.RecStart = state_.RecEnd = clock_.NowInstant();
    } else if (!state_.IsReserveRecording) {
        state_.RecStart = clock_.NowInstant();
        state_.RecEnd = state_.RecStart + std::chrono::minutes{minutes};
    }

    host_.SetStatusPanel(0, flags_.UseEnglish ? "Recording" : " 録画中");
    return true;
}

void RecordingControl::Extend() {
    state_.RecEnd += std::chrono::minutes{10};
}

std::string RecordingControl::FinalPath() const {
    const std::string tail = state_.DelaySuffix + state_.OutputExt;
    return FitFileName(state_.OutputBase, tail) + tail;
}

bool RecordingControl::FileVanished() const {
    return sequence_.FileVanished();
}

int32_t RecordingControl::PollDeckEvent() {
    return capture_.PollCompletion();
}

void RecordingControl::DevicePowerOn() {
    capture_.DevicePowerOn();
}

bool RecordingControl::SequenceOpen() const {
    return sequence_.IsOpen();
}

void RecordingControl::StartReport(const std::string& path, const RecordingOptions& o) {
    Report report;
    report.command = state_.IsReserveRecording ? "reservation" : "recording";
    report.deck = DeckIdentity{capture_.SelectedDeviceName(), {}, {}, {}};
    report.started_ms = UnixMs(clock_.NowInstant());
    report_ = std::make_unique<ReportSession>(std::move(report), path,
                                              o.Pes    ? "ps"
                                              : o.Trim ? "ts188"
                                                       : "ts192");
    said_report_failed_ = false;
}

void RecordingControl::TickReport() {
    if (!report_ || !sequence_.IsOpen()) return;
    if (report_->Tick(sequence_.analyser(), UnixMs(clock_.NowInstant())) || said_report_failed_) return;
    said_report_failed_ = true;
    host_.ShowError(Replace(
        Replace(kMsgReportFailed.Pick(flags_.UseEnglish), "%1", report_->files().json.string()),
        "%2", report_->error()));
}

void RecordingControl::FinishReport(bool kept, const std::string& final_path, const char* reason) {
    if (!report_) return;
    std::unique_ptr<ReportSession> report = std::move(report_);
    if (!kept) {
        report->Discard();  // no recording, no report
        return;
    }
    ReportSession::Ending ending;
    ending.path = final_path;
    ending.sha256 = sequence_.written_sha256();
    ending.analysis = sequence_.analyser().finished();
    ending.end_reason = reason;
    if (!report->Finish(ending, UnixMs(clock_.NowInstant()))) {
        host_.ShowError(Replace(
            Replace(kMsgReportFailed.Pick(flags_.UseEnglish), "%1", report->files().json.string()),
            "%2", report->error()));
    }
}

void RecordingControl::Stop(StopCause cause) {
    const RecordingOptions o = host_.ReadOptions();
    // The power action belongs to the reservation stopping now: taken here, run at the end, so
    // that nothing that happens in between (a message, another reservation) can change it.
    const int after_action = state_.IsReserveRecording ? state_.AfterAction : 0;
    state_.AfterAction = 0;

    // 1. to 3. Graph, file and name, only for a recording of ours that is open.
    std::string failed_path;
    bool nothing_kept = false;
    if (sequence_.IsOpen()) {
        const std::string path = sequence_.path();
        if (sequence_.Stop()) {
            // A recording written back under another name (its own was taken meanwhile), or
            // whose folder was renamed, keeps the name it has.
            const bool moved =
                (!sequence_.saved_path().empty() && sequence_.saved_path() != path) ||
                !sequence_.moved_to().empty();
            std::string kept = !sequence_.moved_to().empty()    ? sequence_.moved_to()
                               : !sequence_.saved_path().empty() ? sequence_.saved_path()
                                                                 : path;
            // Nothing arrived (a start closed at once): no empty file is left behind.
            nothing_kept = sequence_.nothing_kept();
            if (!nothing_kept && !state_.DelaySuffix.empty() && !moved) {
                // An existing file of that name is never replaced; ours then keeps its name.
                if (RenameNoReplace(path, FinalPath())) kept = FinalPath();
            }
            const bool failed = cause == StopCause::WriteFailure || cause == StopCause::DeckLost;
            FinishReport(!nothing_kept, kept, failed ? "failed" : "stopped");
        }
        failed_path = path;
    }
    const std::string write_error = sequence_.write_error();
    if (registry_ && !sequence_.IsOpen()) registry_->Unregister();

    // 4.
    state_.NoTimeLimit = false;
    flags_.IsRecording = false;

    // 5. Reservations and the deck's power.
    if (state_.IsReserveRecording) {
        const bool follow_on = reservations_ && reservations_->WaitingReservationCovers(
                                                    clock_.NowInstant() + std::chrono::seconds{5});
        if (!follow_on && !o.ReservePowerOff) capture_.DevicePowerOff();
        state_.IsReserveRecording = false;
        if (reservations_) reservations_->MarkRunning(ReservationStatus::Aborted);
        state_.ReserveFileName.clear();
    } else if (o.PowerOff) {
        capture_.DevicePowerOff();
    }

    // 6. to 8.
    host_.UpdateControlStates();
    for (int panel = 0; panel < 3; ++panel) host_.SetStatusPanel(panel, std::string());
    host_.ShowDataInfo(ClosingFigures(stream_.stats));
    host_.RepaintReservations();

    if (cause == StopCause::WriteFailure && !failed_path.empty()) {
        const BilingualText& report = nothing_kept ? kMsgWriteFailedNothingKept : kMsgWriteFailed;
        const std::string shown = FileExists(FinalPath()) ? FinalPath() : failed_path;
        host_.ShowError(Replace(Replace(report.Pick(flags_.UseEnglish), "%1", shown), "%2",
                                write_error.empty() ? std::string("?") : write_error));
    }
    if (cause == StopCause::DeckLost && !failed_path.empty()) {
        const BilingualText& report = nothing_kept ? kMsgDeckLostNothingKept : kMsgDeckLost;
        const std::string shown = FileExists(FinalPath()) ? FinalPath() : failed_path;
        host_.ShowError(Replace(report.Pick(flags_.UseEnglish), "%1", shown));
    }

    if (!failed_path.empty() && !sequence_.saved_path().empty() &&
        !sequence_.save_error().empty()) {
        // A full disk took only part of it: the part is kept, and said where.
        std::string text = kFilePartlySavedText.Pick(flags_.UseEnglish);
        text = Replace(Replace(text, "%1", sequence_.saved_path()), "%2", sequence_.save_error());
        text = Replace(Replace(text, "%3", std::to_string(sequence_.saved_bytes())), "%4",
                       std::to_string(sequence_.size()));
        host_.ShowError(text);
    } else if (!failed_path.empty() && !sequence_.saved_path().empty()) {
        const bool same = sequence_.saved_path() == failed_path && FileExists(FinalPath());
        host_.ShowError(Replace(kFileSavedText.Pick(flags_.UseEnglish), "%1",
                                same ? FinalPath() : sequence_.saved_path()));
    } else if (!failed_path.empty() && !sequence_.save_error().empty()) {
        host_.ShowError(
            Replace(Replace(kFileNotSavedText.Pick(flags_.UseEnglish), "%1", failed_path), "%2",
                    sequence_.save_error()));
    }
    if (!failed_path.empty() && !sequence_.moved_to().empty()) {
        host_.ShowError(Replace(Replace(kFileMovedText.Pick(flags_.UseEnglish), "%1", failed_path),
                                "%2", sequence_.moved_to()));
    }
    if (!failed_path.empty() && !sequence_.close_error().empty()) {
        host_.ShowError(
            Replace(Replace(kFileNotClosedText.Pick(flags_.UseEnglish), "%1", failed_path), "%2",
                    sequence_.close_error()));
    }

    // 9. The computer's power action, never when the window closes.
    if (after_action >= 1 && cause != StopCause::Closing && !closing_) {
        clock_.Sleep(std::chrono::milliseconds{3000});
        if (power_) RunPowerAction(*power_, after_action);
    }
}

}  // namespace tessaline
