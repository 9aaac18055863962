// SPDX-License-Identifier: GPL-3.0-or-later
// The timetable without a window: what `tessaline-cli schedule` runs. It drives the same timetable
// as the window (schedule and monitor ticks, recording control, the deck's power rules, the power
// actions) from the settings file, and writes the statuses back into that file. No Qt here.
//
// Unlike the window it owns no controls: the settings file is the only truth. The file is looked
// at before every tick; a change (the window saving an edit) is read again, keeping the record
// being recorded as running. A file that cannot be read any more leaves the last good list in
// use, and is never written over until it can be read again.
//
// Every event is one line on the log: deck on, start, stop, status changes, power action, wake
// alarm, what was missed, errors.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/capture_settings.h"
#include "app/reservation_file.h"
#include "capture/device_box.h"
#include "capture/message_sink.h"
#include "recording/clock.h"
#include "recording/power_actions.h"
#include "recording/recording_control.h"
#include "recording/reservation_list.h"
#include "recording/schedule_tick.h"
#include "recording/wake_alarm.h"

namespace tessaline {

class CDSCapture;
class CaptureDataPath;
class MediaFramework;
class RecorderRegistry;
class RecordingSequence;
class Timetable;
struct StreamContext;

struct ScheduleServiceOptions {
    std::filesystem::path settings_path;
    std::string default_folder;  // SaveDir when the file has none; ends in "/"
    bool english = true;
    int wake_margin_sec = kDefaultWakeMarginSec;
    bool dry_run_power = false;  // the power actions print themselves; no separate log line
};

class ScheduleService {
  public:
    using Log = std::function<void(const std::string& line)>;

    // framework, clock, power and alarm must outlive the service. log gets one line per event,
    // without the time (the caller adds it).
    ScheduleService(MediaFramework& framework, Clock& clock, PowerActions& power, WakeAlarm& alarm,
                    Log log, ScheduleServiceOptions options);
    ~ScheduleService();
    ScheduleService(const ScheduleService&) = delete;
    ScheduleService& operator=(const ScheduleService&) = delete;

    // Reads the settings and the timetable, reports what was missed, lists the decks and opens
    // the saved one. False (after logging why) when the settings file cannot be read.
    bool Begin();
    // One round: the file read again when it changed, then the schedule and the monitor tick.
    void Tick();
    // Stops a running recording as the window's close does (file closed and renamed, the
    // reservation aborted, no power action), then sets the wake alarm for the next reservation.
    void End();

    const ReservationList& List() const { return list_; }
    const RunState& Flags() const { return flags_; }
    bool Recording() const { return flags_.IsRecording; }

  private:
    class Host;
    void LogLine(const std::string& line) const;
    bool ReadSettingsFile(bool first);
    bool SaveReservations();
    bool SaveCorrections();
    void ReportMissed();
    void ListDecks();
    // Before a power action: whether it may be made (logging why not), and the wake alarm set.
    bool BeforePowerAction(int action);
    void LogDeckWakes();
    void LogStatusChanges(const std::vector<std::string>& before);
    void LogWaiting(const std::string& record, const std::string& why);
    void NoteStop();
    RecordingOptions ReadOptions() const;
    ScheduleOptions Options() const;

    struct FileStamp {
        std::filesystem::file_time_type mtime{};
        uintmax_t size = 0;
        bool exists = false;
        bool operator==(const FileStamp&) const = default;
    };
    FileStamp Stamp() const;

    MediaFramework& framework_;
    Clock& clock_;
    PowerActions& power_;
    WakeAlarm& alarm_;
    Log log_;
    ScheduleServiceOptions options_;

    TCaptureSettings settings_;
    ReservationList list_;
    ReservationFile file_;
    FileStamp stamp_;
    bool file_broken_ = false;  // the file could not be read: keep the list, never write it
    bool unsaved_ = false;      // the list holds statuses the file has not been told yet
    bool corrected_ = false;    // a start corrected an extension or a pattern: write those back
    std::set<std::string> woken_;   // records whose deck wake-up was logged, by their window
    std::set<std::string> missed_;  // records reported as missed
    std::set<std::string> waiting_;  // runs reported as waiting for their deck, by their window

    std::unique_ptr<StreamContext> stream_;
    std::unique_ptr<CaptureDataPath> data_path_;
    std::unique_ptr<MessageSink> messages_;
    std::unique_ptr<CDSCapture> capture_;
    ListDeviceBox box_;
    DeviceSelection selection_;
    RunState flags_;
    std::unique_ptr<Host> host_;
    std::unique_ptr<RecordingSequence> sequence_;
    std::unique_ptr<RecorderRegistry> registry_;
    std::unique_ptr<PowerActions> waking_power_;
    std::unique_ptr<RecordingControl> control_;
    std::unique_ptr<Timetable> timetable_;
    Instant next_deck_search_{};
    std::vector<std::string> tick_before_;  // the list as the tick found it
    bool recording_at_monitor_ = false;     // a recording ran when the monitor tick began
    bool decks_missing_ = false;
    bool ended_ = false;
};

}  // namespace tessaline
