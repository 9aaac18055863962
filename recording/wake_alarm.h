// SPDX-License-Identifier: GPL-3.0-or-later
// Waking the computer for the next reservation: the hardware clock's wake alarm, set before a
// power action sends the computer to sleep or off, and when the service ends with reservations
// still waiting. The alarm is the kernel's wakealarm file of the first real-time clock: written
// "0" to clear it, then the time in seconds since the epoch, then read back, since a clock that
// cannot wake the computer takes neither. Where the file may not be written, one line says why and
// how to allow it (the udev rule shipped with the program gives it to the group "video").
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "recording/clock.h"
#include "recording/power_actions.h"
#include "recording/reservation_list.h"

namespace tessaline {

inline constexpr char kDefaultWakeAlarmPath[] = "/sys/class/rtc/rtc0/wakealarm";
inline constexpr char kWakeAlarmRule[] = "61-tessaline-wakealarm.rules";
inline constexpr char kWakeAlarmGroup[] = "video";
// How long the computer needs to come up before the deck is woken; the service's --wake-margin.
inline constexpr int kDefaultWakeMarginSec = 120;
// An alarm in the past never rings: a reservation already due (its window open, or about to
// open) is woken for this long after now instead.
inline constexpr std::chrono::seconds kSoonestWake{60};

// The moment to wake for the next run among the first max_reserve records: its start minus
// power_on_sec minus margin_sec, not earlier than now + kSoonestWake. nullopt when nothing will run.
std::optional<DateTime> NextWakeTime(const ReservationList& list, int max_reserve, DateTime now,
                                     int power_on_sec, int margin_sec);

// Seconds since the epoch of a local date-time (the local time zone's rules, as the clock reads).
int64_t EpochSeconds(DateTime t);

class WakeAlarm {
  public:
    using Log = std::function<void(const std::string& line)>;
    // path: the wakealarm file; dry_run: print "wake alarm: ... (dry run)" instead of writing.
    WakeAlarm(std::filesystem::path path, bool dry_run, Log log);
    // TESSALINE_RTC names the file (else the first real-time clock's); TESSALINE_POWER=dry-run
    // prints instead of writing.
    static WakeAlarm FromEnvironment(Log log);

    // Clears the alarm, sets it to at, reads it back. One line on the log either way.
    bool Set(DateTime at);
    // Clears the alarm (nothing waits any more). Says something only when it fails.
    bool Clear();

    const std::filesystem::path& path() const { return path_; }
    bool dry_run() const { return dry_run_; }

  private:
    bool Write(const std::string& value, std::string& error);
    std::optional<std::string> Read(std::string& error);
    void Refused(const std::string& what, const std::string& error);

    std::filesystem::path path_;
    bool dry_run_;
    Log log_;
    int last_errno_ = 0;
};

// The power actions with the wake alarm in front: before each of them, before_sleep runs with the
// action's number (1..4; it sets the alarm for the next reservation), then the action itself.
class WakeBeforePowerActions final : public PowerActions {
  public:
    WakeBeforePowerActions(PowerActions& actions, std::function<void(int action)> before_sleep)
        : actions_(actions), before_(std::move(before_sleep)) {}
    void SystemShutdown() override { Before(1), actions_.SystemShutdown(); }
    void SystemStandby() override { Before(2), actions_.SystemStandby(); }
    void SystemHibernate() override { Before(3), actions_.SystemHibernate(); }
    void SystemPowerOff() override { Before(4), actions_.SystemPowerOff(); }

  private:
    void Before(int action) {
        if (before_) before_(action);
    }
    PowerActions& actions_;
    std::function<void(int)> before_;
};

}  // namespace tessaline
