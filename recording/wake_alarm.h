// SPDX-License-Identifier: GPL-3.0-or-later
// Waking the computer for the next reservation: the hardware clock's wake alarm, set before a
// power action sends the computer to sleep or off, and when the service ends with reservations
// still waiting. The alarm is the kernel's wakealarm file of the first real-time clock: written
// "0" to clear it (a new time is refused while one is pending), then the time in seconds since the
// epoch, then read back, since a clock that cannot wake the computer takes neither. A power action
// is not made when the next reservation is too close to sleep and wake for it. Where the file may
// not be written, one line says why and how to allow it (the udev rule shipped with the program
// gives it to the group "video").
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "recording/clock.h"
#include "recording/power_actions.h"
#include "recording/reservation_list.h"

namespace tessaline {

class RecorderRegistry;

inline constexpr char kDefaultWakeAlarmPath[] = "/sys/class/rtc/rtc0/wakealarm";
inline constexpr char kWakeAlarmRule[] = "61-tessaline-wakealarm.rules";
inline constexpr char kWakeAlarmGroup[] = "video";
// How long the computer needs to come up before the deck is woken; the service's --wake-margin.
inline constexpr int kDefaultWakeMarginSec = 120;
// An alarm must lie at least this far ahead: the computer needs the time to go to sleep.
inline constexpr std::chrono::seconds kSoonestWake{60};

// The moment to wake for the next run among the first max_reserve records: its start less
// power_on_sec and margin_sec. nullopt when nothing will run.
std::optional<Instant> NextWakeTime(const ReservationList& list, int max_reserve, Instant now,
                                    int power_on_sec, int margin_sec);

// Whether a power action may send the computer away now, and the alarm that brings it back.
struct SleepDecision {
    bool allowed = true;
    std::optional<Instant> wake_at;  // when allowed: the alarm to set; none when nothing waits
    std::string reason;              // when not allowed: why, for the log
};
// Not allowed while another program records (registry, when given), nor when the next run is
// too close to sleep and wake for it: its wake moment is less than kSoonestWake ahead (an alarm
// then would ring after its start, or not at all).
SleepDecision DecideSleep(const ReservationList& list, int max_reserve, Instant now,
                          int power_on_sec, int margin_sec,
                          const RecorderRegistry* registry = nullptr);

// Seconds since the epoch of a moment, as the real-time clock takes them.
int64_t EpochSeconds(Instant t);

// The wakealarm file as the kernel keeps it: a write of "0" clears the alarm, a write of a time
// sets it (refused while another alarm is pending), a read gives the pending time or nothing.
class WakeAlarmFile {
  public:
    virtual ~WakeAlarmFile() = default;
    // 0, or the errno of the failure.
    virtual int Write(const std::string& value) = 0;
    virtual int Read(std::string& value) = 0;
};

class WakeAlarm {
  public:
    using Log = std::function<void(const std::string& line)>;
    // path: the wakealarm file; dry_run: print "wake alarm: ... (dry run)" instead of writing.
    WakeAlarm(std::filesystem::path path, bool dry_run, Log log);
    // The same on a file of the test's (path only names it in messages).
    WakeAlarm(std::filesystem::path path, std::shared_ptr<WakeAlarmFile> file, Log log);
    // TESSALINE_RTC names the file (else the first real-time clock's); TESSALINE_POWER=dry-run
    // prints instead of writing.
    static WakeAlarm FromEnvironment(Log log);

    // Clears the alarm, sets it to at, reads it back. One line on the log either way.
    bool Set(Instant at);
    // Clears the alarm (nothing waits any more). Says something only when it fails.
    bool Clear();

    const std::filesystem::path& path() const { return path_; }
    bool dry_run() const { return dry_run_; }

  private:
    bool Write(const std::string& value, std::string& error);
    std::optional<std::string> Read(std::string& error);
    void Refused(const std::string& what, const std::string& error);

    std::filesystem::path path_;
    std::shared_ptr<WakeAlarmFile> file_;
    bool dry_run_;
    Log log_;
    int last_errno_ = 0;
};

// The power actions with a check in front: before each of them, before_sleep runs with the
// action's number (1..4); it sets the alarm for the next reservation and says whether the action
// may go ahead (false: it is not made).
class WakeBeforePowerActions final : public PowerActions {
  public:
    WakeBeforePowerActions(PowerActions& actions, std::function<bool(int action)> before_sleep)
        : actions_(actions), before_(std::move(before_sleep)) {}
    void SystemShutdown() override {
        if (Before(1)) actions_.SystemShutdown();
    }
    void SystemStandby() override {
        if (Before(2)) actions_.SystemStandby();
    }
    void SystemHibernate() override {
        if (Before(3)) actions_.SystemHibernate();
    }
    void SystemPowerOff() override {
        if (Before(4)) actions_.SystemPowerOff();
    }

  private:
    bool Before(int action) { return !before_ || before_(action); }
    PowerActions& actions_;
    std::function<bool(int)> before_;
};

}  // namespace tessaline
