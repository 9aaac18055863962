// Recording control: starting, extending and stopping the one recording, naming its file, the
// deck's power around it and the computer power action after a reservation. Qt-free; the window
// (or any other front end) plugs in through RecordingHost, the reservation list through
// ReservationStatus and the computer's power through PowerActions. Everything runs on one thread
// (the window thread): the user's buttons and the ticks call Start/Stop/Extend the same way.
//
// How the schedule tick starts a reservation, exactly as the user would press Rec.:
//     control.ArmReservation(start, end + 1s, record_file_name, record_after_action);
//     window.btnRecClick();   // -> control.Start()
// and Stop() marks the running reservation aborted (the monitor tick marks it done first when it
// reached its end), switches the deck off unless another reservation follows within 5 seconds,
// and runs the power action 3 seconds after the stop.
#pragma once

#include <memory>
#include <string>

#include "capture/run_state.h"
#include "recording/clock.h"
#include "recording/data_info.h"
#include "recording/file_names.h"
#include "recording/power_actions.h"
#include "recording/recording_state.h"

namespace tessaline {

class CDSCapture;
class RecorderRegistry;
class RecordingSequence;
class ReportSession;
struct StreamContext;

// The settings and boxes a start reads, gathered by the front end. The start corrects some of them
// (see RecordingHost::ApplyCorrections).
struct RecordingOptions {
    // Settings.
    std::string SaveDir;     // output folder; names are formed by plain concatenation
    std::string NameFormat;  // pattern of default names
    bool AddDate = false;
    std::string DateFormat;
    std::string PsExt, Ts188Ext, Ts192Ext;
    bool CheckFileExists = false;
    bool PowerOn = false;
    bool PowerOff = false;
    bool ReservePowerOff = false;
    bool AddDelay = false;
    // Boxes of the recording bar and the output mode.
    std::string DurationText;  // minutes; text that is not a number counts as 0
    bool UseFileName = false;
    std::string FileName;
    bool Pes = false;   // program stream output
    bool Trim = false;  // 188-byte output
    // A quality report beside the file (NAME.report.json, kept current, and NAME.report.html).
    bool Report = false;
};

// A message in both languages; the front end shows the one of its language with the designed
// caption ("ERROR"/"エラー", "Question"/"質問").
struct BilingualText {
    std::string english;
    std::string japanese;
    const std::string& Pick(bool use_english) const { return use_english ? english : japanese; }
};

inline const BilingualText kMsgEmptyDuration = {"Please set rocerd time",
                                                "録画時間を指定してください"};
// "-S" did not start: a reservation records on the deck (or is due and starts now).
inline const BilingualText kMsgLaunchGaveWay = {
    "Not started by -S: the reservation due now records on the deck.",
    "-S による録画は開始しません: 予約の録画を行います。"};
inline const BilingualText kMsgOverwrite = {
    "File Already Exists. Over Write ?", "既にファイルが存在しています。上書きしても良いですか？"};
// %1 the file, %2 the system's reason.
inline const BilingualText kMsgWriteFailed = {
    "Recording stopped: cannot write to %1 (%2). The file holds what was written before.",
    "書き込みに失敗したため録画を停止しました: %1 (%2)。それまでの内容はファイルに残っています。"};
// %1 the file. The deck's graph ended with an error (a deck unplugged and not back in time).
inline const BilingualText kMsgDeckLost = {
    "Recording stopped: the deck stopped sending. %1 holds what was received before.",
    "デッキからのデータが途絶えたため録画を停止しました。%1 "
    "にはそれまでに受信した内容が残っています。"};

// %1 the report's file, %2 why. Said once per recording.
inline const BilingualText kMsgReportFailed = {
    "The quality report %1 cannot be written (%2). The recording itself is not affected.",
    "品質レポート %1 を書き込めません (%2)。録画そのものには影響ありません。"};

// %1 the other program and its deck (RecorderRegistry::Describe).
inline const BilingualText kMsgDeckInUse = {
    "Not started: %1 records on this deck. One deck records for one program at a time.",
    "開始できません: %1 がこのデッキで録画中です。1 台のデッキで同時に録画できるのは 1 "
    "つのプログラムだけです。"};

// The same two reports when nothing had arrived yet, so that the empty file was not kept.
inline const BilingualText kMsgWriteFailedNothingKept = {
    "Recording stopped: cannot write to %1 (%2). Nothing was written, so no file was kept.",
    "書き込みに失敗したため録画を停止しました: %1 "
    "(%2)。何も書き込めなかったため、ファイルは残していません。"};
inline const BilingualText kMsgDeckLostNothingKept = {
    "Recording stopped: the deck stopped sending before anything was received. No file was kept "
    "(%1).",
    "デッキからのデータが何も届かないまま途絶えたため録画を停止しました。ファイルは残していません"
    "（%1）。"};

// What recording control needs from its front end.
class RecordingHost {
  public:
    virtual ~RecordingHost() = default;
    // The settings and boxes at the moment Rec. is pressed.
    virtual RecordingOptions ReadOptions() = 0;
    // The start corrected the extension setting of the chosen mode (a "." in front), or replaced
    // an unusable NameFormat or DateFormat by its fallback: keep and show the new values. Called
    // before SaveSettings.
    virtual void ApplyCorrections(const RecordingOptions& corrected) = 0;
    virtual void SaveSettings() = 0;
    virtual void ShowError(const BilingualText& text) = 0;
    virtual void ShowError(const std::string& text) = 0;  // already in the front end's language
    // A question with Yes and No, No the default; true for Yes.
    virtual bool AskYesNo(const BilingualText& text) = 0;
    virtual void FocusDuration() = 0;
    virtual void ShowDataInfoPage() = 0;
    // The run-state flags changed.
    virtual void UpdateControlStates() = 0;
    virtual void SetStatusPanel(int panel, const std::string& text) = 0;
    virtual void ShowDataInfo(const DataInfoUpdate& update) = 0;
    virtual void RepaintReservations() = 0;
};

// The reservation list as recording control sees it. Status codes as stored in the records.
class ReservationStatus {
  public:
    enum Status { Waiting = 0, Running = 1, Aborted = 2, Done = 3 };
    virtual ~ReservationStatus() = default;
    // Whether one of the first MaxReserve records is waiting and its window (start and end as
    // resolved, without the next-day rule, SKIP ignored) contains t.
    virtual bool WaitingReservationCovers(Instant t) = 0;
    // Every running record gets status to; the list is saved after each change.
    virtual void MarkRunning(Status to) = 0;
};

class RecordingControl {
  public:
    // All references must outlive the control. flags is the program's one RunState.
    RecordingControl(RecordingSequence& sequence, CDSCapture& capture, StreamContext& stream,
                     RunState& flags, RecordingHost& host, Clock& clock);
    ~RecordingControl();

    // Optional collaborators; without them no reservation is marked and no power action runs.
    void SetReservations(ReservationStatus* reservations) { reservations_ = reservations; }
    void SetPowerActions(PowerActions* actions) { power_ = actions; }
    // The record of who records where: a start by hand (or "-S") is refused on a deck another
    // program records on, and each recording is entered there as who ("window", "service").
    void SetRegistry(RecorderRegistry* registry, std::string who) {
        registry_ = registry;
        who_ = std::move(who);
    }
    RecorderRegistry* registry() { return registry_; }

    RecordingState& State() { return state_; }
    const RecordingState& State() const { return state_; }
    Clock& clock() { return clock_; }

    // The schedule tick's part before it presses Rec.: a reservation from start to end (the
    // record's end plus one second), its file-name field and its power action.
    void ArmReservation(Instant start, Instant end, std::string file_name, int after_action);

    // Rec. (btnRecClick): every step from preparing the graph to the status bar. True when the
    // recording runs. A start that is not a reservation's takes StartAtLaunch (and clears it).
    bool Start();
    // The "-S" start: no duration, no time limit, the deck switched on with PowerAtLaunch.
    // StartAtLaunch is cleared by this attempt, whether it records or not.
    bool StartLaunch();
    // Add 10min. (btnTimeAddClick).
    void Extend();

    enum class StopCause {
        User,          // Stop, the end of a timed recording, a failure exit of another page
        WriteFailure,  // the disk refused a buffer: stopped as by Stop, then reported
        DeckLost,      // the deck's stream ended with an error: stopped as by Stop, then reported
        Closing,       // the window closes: no computer power action, ever
    };
    // Stop (btnStopClick). A stop while nothing records touches no file.
    void Stop(StopCause cause = StopCause::User);
    // The program is closing: no start begins or goes on afterwards (one whose question was open
    // ends without touching a file), and no stop runs a computer power action any more, also one
    // in progress further down the stack.
    void Close() { closing_ = true; }

    // The file name of the running recording as it will be after the stop.
    std::string FinalPath() const;
    // AddDelay as read at the start (the monitor tick's suffix rule).
    bool AddDelay() const { return options_.AddDelay; }
    RecordingHost& host() { return host_; }
    // The deck's graph event, taken from the graph (0: none yet; see CDSCapture::PollCompletion).
    int32_t PollDeckEvent();
    // Switches the deck on when it is off or in standby.
    void DevicePowerOn();
    // The last recording's file is still open (its graph would not stop).
    bool SequenceOpen() const;
    // The monitor tick's part of the quality report: kept current while recording.
    void TickReport();
    // The recording's file lost its name (its folder was deleted); it is written back at Stop.
    bool FileVanished() const;
    RunState& flags() { return flags_; }
    StreamContext& stream() { return stream_; }
    ReservationStatus* reservations() { return reservations_; }

  private:
    // The name a start records under: the user's (base + extension, replacing a file there only
    // once data arrives), or the first free one of a series the program picks by itself.
    struct NameChoice {
        std::string base;
        bool series = false;
        NameSeries kind = NameSeries::Counted;
    };
    bool ChooseName(RecordingOptions& o, const std::string& date_text, NameChoice& choice);
    void StartReport(const std::string& path, const RecordingOptions& o);
    void FinishReport(bool kept, const std::string& final_path, const char* reason);

    RecordingSequence& sequence_;
    CDSCapture& capture_;
    StreamContext& stream_;
    RunState& flags_;
    RecordingHost& host_;
    Clock& clock_;
    ReservationStatus* reservations_ = nullptr;
    PowerActions* power_ = nullptr;
    RecorderRegistry* registry_ = nullptr;
    std::string who_;
    RecordingState state_;
    RecordingOptions options_;  // as read by the last start
    bool launch_ = false;       // the start in progress is the "-S" start
    bool closing_ = false;
    std::unique_ptr<ReportSession> report_;
    bool said_report_failed_ = false;
};

// The duration box as minutes: digits only, anything else (or nothing) counts as 0.
int DurationMinutes(std::string_view text);

}  // namespace tessaline
