// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/wake_alarm.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "recording/recorder_registry.h"
#include "recording/schedule_rules.h"

namespace tessaline {

using namespace std::chrono;

namespace {

// The kernel's file: each value in one write, as it takes them.
class SysfsWakeAlarmFile final : public WakeAlarmFile {
  public:
    explicit SysfsWakeAlarmFile(std::filesystem::path path) : path_(std::move(path)) {}
    int Write(const std::string& value) override {
        const int fd = ::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd < 0) return errno;
        const std::string line = value + "\n";
        const ssize_t n = ::write(fd, line.data(), line.size());
        const int e = errno;
        const bool closed = ::close(fd) == 0;
        if (n < 0) return e;
        return n == static_cast<ssize_t>(line.size()) && closed ? 0 : EIO;
    }
    int Read(std::string& value) override {
        const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return errno;
        char buffer[64];
        const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
        const int e = errno;
        ::close(fd);
        if (n < 0) return e;
        value.assign(buffer, static_cast<size_t>(n));
        return 0;
    }

  private:
    std::filesystem::path path_;
};

}  // namespace

std::optional<Instant> NextWakeTime(const ReservationList& list, int max_reserve, Instant now,
                                    int power_on_sec, int margin_sec) {
    const auto run = EarliestScheduledRun(list, max_reserve, now);
    if (!run) return std::nullopt;
    return floor<seconds>(run->start - seconds(power_on_sec) - seconds(margin_sec));
}

SleepDecision DecideSleep(const ReservationList& list, int max_reserve, Instant now,
                          int power_on_sec, int margin_sec, const RecorderRegistry* registry) {
    SleepDecision d;
    if (registry) {
        if (const auto others = registry->Others(); !others.empty()) {
            d.allowed = false;
            d.reason = RecorderRegistry::Describe(others.front()) + " still records";
            return d;
        }
    }
    const auto run = EarliestScheduledRun(list, max_reserve, now);
    if (!run) return d;
    const Instant wake = floor<seconds>(run->start - seconds(power_on_sec) - seconds(margin_sec));
    if (wake < now + kSoonestWake) {
        d.allowed = false;
        d.reason = "the next reservation starts at " + FormatDateTime(ToLocal(run->start)) +
                   ", too soon to sleep and wake for it (the computer would have to be woken at " +
                   FormatDateTime(ToLocal(wake)) + ", less than a minute from now)";
        return d;
    }
    d.wake_at = wake;
    return d;
}

int64_t EpochSeconds(Instant t) {
    return floor<seconds>(t).time_since_epoch().count();
}

WakeAlarm::WakeAlarm(std::filesystem::path path, bool dry_run, Log log)
    : path_(std::move(path)),
      file_(std::make_shared<SysfsWakeAlarmFile>(path_)),
      dry_run_(dry_run),
      log_(std::move(log)) {}

WakeAlarm::WakeAlarm(std::filesystem::path path, std::shared_ptr<WakeAlarmFile> file, Log log)
    : path_(std::move(path)), file_(std::move(file)), dry_run_(false), log_(std::move(log)) {}

WakeAlarm WakeAlarm::FromEnvironment(Log log) {
    const char* rtc = std::getenv("TESSALINE_RTC");
    const char* power = std::getenv("TESSALINE_POWER");
    return WakeAlarm(rtc && *rtc ? rtc : kDefaultWakeAlarmPath,
                     power && std::strcmp(power, "dry-run") == 0, std::move(log));
}

bool WakeAlarm::Write(const std::string& value, std::string& error) {
    const int e = file_->Write(value);
    if (e == 0) return true;
    last_errno_ = e;
    error = e == EIO ? std::string("the value was not taken") : std::strerror(e);
    return false;
}

std::optional<std::string> WakeAlarm::Read(std::string& error) {
    std::string text;
    if (const int e = file_->Read(text); e != 0) {
        last_errno_ = e;
        error = std::strerror(e);
        return std::nullopt;
    }
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

bool WakeAlarm::Set(Instant at) {
    const std::string when = FormatDateTime(ToLocal(at));
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
