#include "recording/recording_control.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "capture/ds_capture.h"
#include "capture/recording_sequence.h"
#include "recording/date_pattern.h"
#include "recording/file_names.h"
#include "recording/recorder_registry.h"
#include "stream/stream_context.h"

namespace tessaline {

namespace {

constexpr std::string_view kFallbackName = "\"D\"YYMMDDHHNNSS";
constexpr std::string_view kFallbackDate = "YYYYMMDD";

std::string Replace(std::string text, std::string_view key, const std::string& value) {
    const size_t at = text.find(key);
    if (at != std::string::npos) text.replace(at, key.size(), value);
    return text;
}

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
                                  std::string& name) {
    auto now_in = [this](const std::string& pattern) {
        return FormatDateTimePattern(pattern, ToLocalDateTime(clock_.Now())).value_or("");
    };
    // A name from the pattern is ours: it takes a counter rather than replace a file (two starts
    // within one second give the same name).
    auto pattern_name = [&] {
        return FirstFreeName(o.SaveDir + now_in(o.NameFormat), state_.OutputExt);
    };
    if (launch_) {
        if (state_.PowerAtLaunch) capture_.DevicePowerOn();
        name = pattern_name();
        return true;
    }
    if (state_.IsReserveRecording) {
        if (!state_.ReserveFileName.empty()) {
            name = FirstFreeNumberedName(
                o.SaveDir + WithoutExtension(state_.ReserveFileName) + date_text, state_.OutputExt);
        } else {
            name = pattern_name();
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
        name = o.SaveDir + WithoutExtension(o.FileName) + date_text;
        if (o.CheckFileExists && FileExists(name + state_.OutputExt) &&
            !host_.AskYesNo(kMsgOverwrite)) {
            return false;
        }
        // The program closed while the question was open: whatever the answer, nothing starts.
        if (closing_) return false;
    } else {
        name = pattern_name();
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
    state_.OutputExt = dotted;

    // 3. and 4. Patterns that cannot be applied fall back to the defaults.
    const LocalDateTime now = ToLocalDateTime(clock_.Now());
    if (!FormatDateTimePattern(o.NameFormat, now)) {
        o.NameFormat = std::string(kFallbackName);
        corrected = true;
    }
    std::string date_text;
    if (o.AddDate) {
        std::optional<std::string> date = FormatDateTimePattern(o.DateFormat, now);
        if (!date) {
            o.DateFormat = std::string(kFallbackDate);
            corrected = true;
            date = FormatDateTimePattern(o.DateFormat, now);
        }
        date_text = date.value_or("");
    }
    if (corrected) host_.ApplyCorrections(o);

    // 5. The settings as they are now.
    host_.SaveSettings();
    options_ = o;

    // 6. and 7. The name.
    std::string name;
    if (!ChooseName(o, date_text, name)) return false;
    state_.OutputBase = name;
    state_.DelaySuffix.clear();

    // 8. to 11. Data path reset, file, carry-over, graph. The data path writes the mode whose
    // extension was chosen (the graph is stopped, so its options may change).
    stream_.options.ConvPES = o.Pes;
    stream_.options.TrimPacket = o.Trim;
    const std::string path = state_.OutputBase + state_.OutputExt;
    // Only a file this start makes may be removed again when nothing reaches it.
    const bool created = !FileExists(path);
    switch (sequence_.Start(path, flags_.UseEnglish)) {
        case RecordingSequence::StartResult::Started:
            created_output_ = created;
            break;
        case RecordingSequence::StartResult::NotRunning:
            // The controller has said why; the file we just made holds nothing.
            if (created) RemoveIfEmpty(path);
            return false;
        default:
            return false;  // "Cannot open output file" has been shown
    }

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
    return state_.OutputBase + state_.DelaySuffix + state_.OutputExt;
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
        const std::string path = state_.OutputBase + state_.OutputExt;
        if (sequence_.Stop()) {
            const bool ours = std::exchange(created_output_, false);
            // A recording written back under another name (its own was taken meanwhile) keeps it.
            const bool moved = !sequence_.saved_path().empty() && sequence_.saved_path() != path;
            if (ours && !moved && RemoveIfEmpty(path)) {
                // Nothing arrived (a start closed at once): no empty file is left behind.
                nothing_kept = true;
            } else if (!state_.DelaySuffix.empty() && !moved) {
                // An existing file of that name is never replaced; ours then keeps its name.
                RenameNoReplace(path, FinalPath());
            }
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

    if (!failed_path.empty() && !sequence_.saved_path().empty()) {
        const bool same = sequence_.saved_path() == failed_path && FileExists(FinalPath());
        host_.ShowError(Replace(kFileSavedText.Pick(flags_.UseEnglish), "%1",
                                same ? FinalPath() : sequence_.saved_path()));
    } else if (!failed_path.empty() && !sequence_.save_error().empty()) {
        host_.ShowError(
            Replace(Replace(kFileNotSavedText.Pick(flags_.UseEnglish), "%1", failed_path), "%2",
                    sequence_.save_error()));
    }

    // 9. The computer's power action, never when the window closes.
    if (after_action >= 1 && cause != StopCause::Closing && !closing_) {
        clock_.Sleep(std::chrono::milliseconds{3000});
        if (power_) RunPowerAction(*power_, after_action);
    }
}

}  // namespace tessaline
