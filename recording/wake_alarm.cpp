// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/wake_alarm.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "recording/schedule_rules.h"

namespace tessaline {

using namespace std::chrono;

std::optional<DateTime> NextWakeTime(const ReservationList& list, int max_reserve, DateTime now,
                                     int power_on_sec, int margin_sec) {
    const auto run = EarliestScheduledRun(list, max_reserve, now);
    if (!run) return std::nullopt;
    const DateTime wake = floor<seconds>(run->start - seconds(power_on_sec) - seconds(margin_sec));
    const DateTime soonest = floor<seconds>(now) + kSoonestWake;
    return std::max(wake, soonest);
}

int64_t EpochSeconds(DateTime t) {
    const LocalDateTime l = ToLocalDateTime(t);
    std::tm tm{};
    tm.tm_year = l.year - 1900;
    tm.tm_mon = l.month - 1;
    tm.tm_mday = l.day;
    tm.tm_hour = l.hour;
    tm.tm_min = l.minute;
    tm.tm_sec = l.second;
    tm.tm_isdst = -1;  // the zone's rules decide
    return static_cast<int64_t>(std::mktime(&tm));
}

WakeAlarm::WakeAlarm(std::filesystem::path path, bool dry_run, Log log)
    : path_(std::move(path)), dry_run_(dry_run), log_(std::move(log)) {}

WakeAlarm WakeAlarm::FromEnvironment(Log log) {
    const char* rtc = std::getenv("TESSALINE_RTC");
    const char* power = std::getenv("TESSALINE_POWER");
    return WakeAlarm(rtc && *rtc ? rtc : kDefaultWakeAlarmPath,
                     power && std::strcmp(power, "dry-run") == 0, std::move(log));
}

bool WakeAlarm::Write(const std::string& value, std::string& error) {
    // The kernel takes the value in one write; a regular file (tests) is replaced likewise.
    const int fd = ::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        last_errno_ = errno;
        error = std::strerror(errno);
        return false;
    }
    const std::string line = value + "\n";
    const ssize_t n = ::write(fd, line.data(), line.size());
    const int e = errno;
    const bool closed = ::close(fd) == 0;
    if (n != static_cast<ssize_t>(line.size()) || !closed) {
        last_errno_ = n < 0 ? e : EIO;
        error = n < 0 ? std::strerror(e) : "the value was not taken";
        return false;
    }
    return true;
}

std::optional<std::string> WakeAlarm::Read(std::string& error) {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        last_errno_ = errno;
        error = std::strerror(errno);
        return std::nullopt;
    }
    char buffer[64];
    const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    const int e = errno;
    ::close(fd);
    if (n < 0) {
        last_errno_ = e;
        error = std::strerror(e);
        return std::nullopt;
    }
    std::string text(buffer, static_cast<size_t>(n));
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

void WakeAlarm::Refused(const std::string& what, const std::string& error) {
    if (!log_) return;
    std::string line = "cannot " + what + " in " + path_.string() + ": " + error + ".";
    if (last_errno_ == ENOENT || last_errno_ == ENODEV) {
        line += " This computer has no wake alarm there.";
    } else {
        line += std::string(" To allow it, install the udev rule ") + kWakeAlarmRule +
                " (in /usr/lib/udev/rules.d with the package) and add this user to the group " +
                kWakeAlarmGroup + ", then log in again.";
    }
    log_(line);
}

bool WakeAlarm::Set(DateTime at) {
    const std::string when = FormatDateTime(at);
    if (dry_run_) {
        if (log_) log_("wake alarm: " + when + " (dry run)");
        return true;
    }
    const std::string value = std::to_string(EpochSeconds(at));
    std::string error;
    // A new time is refused while an alarm is pending, hence the clearing first.
    if (!Write("0", error) || !Write(value, error)) {
        Refused("set the wake alarm for " + when, error);
        return false;
    }
    const auto back = Read(error);
    if (!back) {
        Refused("read back the wake alarm", error);
        return false;
    }
    if (*back != value) {
        last_errno_ = EIO;
        Refused("set the wake alarm for " + when,
                "the clock holds " + (back->empty() ? std::string("no alarm") : *back) +
                    " instead of " + value);
        return false;
    }
    if (log_) log_("wake alarm: " + when);
    return true;
}

bool WakeAlarm::Clear() {
    if (dry_run_) return true;
    std::string error;
    if (Write("0", error)) return true;
    Refused("clear the wake alarm", error);
    return false;
}

}  // namespace tessaline
