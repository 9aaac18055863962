// SPDX-License-Identifier: GPL-3.0-or-later
// schedule: the timetable as a service. Runs the reservations of the settings file without a
// window, on the system clock, until SIGTERM or Ctrl-C; writes one line per event on standard
// error. Only one program runs a timetable at a time: while the window runs it, this waits.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "app/schedule_service.h"
#include "capture/system_framework.h"
#include "recording/reservation_record.h"
#include "recording/timetable_lock.h"
#include "recording/wake_alarm.h"
#include "tools/cli_common.h"

#ifdef TESSALINE_WITH_LOGIND
#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

#include "app/logind_power.h"
#endif

namespace tessaline::cli {

namespace {

using namespace std::chrono_literals;

constexpr auto kTickPeriod = 50ms;
constexpr auto kLockRetry = 1s;

void PrintHelp() {
    std::printf(
        "usage: tessaline-cli schedule [--ini FILE] [--english] [--no-wait]\n"
        "           [--wake-margin SECONDS]\n"
        "Runs the timetable of the settings file without a window: wakes the deck before each\n"
        "reservation, records it, stops it at its end and runs its power action, exactly as the\n"
        "window does, and writes the statuses back into the file. A change of the file (an edit\n"
        "in the window) is read at the next tick. One line per event goes to standard error.\n"
        "SIGTERM or Ctrl-C ends it: a running recording is stopped as the window's close stops\n"
        "it (no power action), and the computer's wake alarm is set for the next reservation.\n"
        "\n"
        "Only one program runs a timetable: while the window runs it, this waits for the window\n"
        "to close.\n"
        "\n"
        "  --ini FILE             this settings file (else TESSALINE_INI, else the window's own)\n"
        "  --english              English texts (else the system language decides)\n"
        "  --no-wait              exit 3 at once when the window runs the timetable\n"
        "  --wake-margin SECONDS  wake the computer this long before the deck is woken\n"
        "                         (default %d)\n"
        "\n"
        "Before a power action and at the end, the wake alarm is set through\n"
        "%s (TESSALINE_RTC names another file); with TESSALINE_POWER=dry-run\n"
        "power actions and the wake alarm are printed instead of made.\n"
        "\n"
        "Exit codes: 0 ended by a signal, 1 the settings file or the lock cannot be used,\n"
        "2 bad usage, 3 the window runs the timetable (--no-wait).\n\n%s",
        kDefaultWakeMarginSec, kDefaultWakeAlarmPath, VirtualDeckHelp());
}

void Log(const std::string& line) {
    const std::string stamp = FormatDateTime(SystemClock().Now());
    std::fprintf(stderr, "%s %s\n", stamp.c_str(), line.c_str());
    std::fflush(stderr);
}

// Where logind cannot be reached from this build: every action says that it was not made.
class NoPowerActions final : public PowerActions {
  public:
    void SystemShutdown() override { Refuse(1); }
    void SystemStandby() override { Refuse(2); }
    void SystemHibernate() override { Refuse(3); }
    void SystemPowerOff() override { Refuse(4); }

  private:
    static void Refuse(int action) {
        Log("the power action " + std::string(PowerActionName(action)) +
            " was not made: this build has no D-Bus support for systemd-logind");
    }
};

// The window's default folder for recordings: the user's video folder, else home, with a "/".
std::string DefaultFolder() {
    std::string folder;
#ifdef TESSALINE_WITH_LOGIND
    QString movies = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    if (movies.isEmpty() || !QDir(movies).exists()) movies = QDir::homePath();
    folder = movies.toStdString();
#else
    const char* home = std::getenv("HOME");
    folder = home ? home : "";
#endif
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

}  // namespace

int ScheduleCommand(const Args& args) {
    bool english = !JapaneseLocale();
    bool wait = true;
    int margin = kDefaultWakeMarginSec;
    std::filesystem::path ini_path;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            PrintHelp();
            return kExitOk;
        } else if (a == "--english") {
            english = true;
        } else if (a == "--no-wait") {
            wait = false;
        } else if (a == "--ini" && i + 1 < args.size()) {
            ini_path = args[++i];
        } else if (a == "--wake-margin" && i + 1 < args.size()) {
            const auto n = ParseCount(args[++i]);
            if (!n || *n > 24 * 3600) return Usage("--wake-margin takes seconds, 0 to 86400");
            margin = static_cast<int>(*n);
        } else {
            return Usage("schedule: unknown argument '" + a + "'");
        }
    }
    if (ini_path.empty()) ini_path = WindowSettingsPath();

    StopSignals stop;
    auto sleep_unless_stopped = [&stop](std::chrono::milliseconds span) {
        for (auto left = span; left > 0ms && !stop.raised(); left -= 50ms) {
            std::this_thread::sleep_for(std::min<std::chrono::milliseconds>(left, 50ms));
        }
    };

    // One runner of the timetable.
    TimetableLock lock(TimetableLockPath(ini_path));
    bool said = false;
    while (!lock.TryAcquire(TimetableRunner::Service)) {
        if (!lock.error().empty()) {
            Log("cannot take the timetable lock " + lock.path().string() + ": " + lock.error());
            return kExitFailure;
        }
        if (!said) {
            const TimetableRunner who = WhoRunsTimetable(lock.path());
            Log("the " +
                std::string(who == TimetableRunner::Nobody ? "window" : RunnerName(who)) +
                " runs the timetable of " + ini_path.string() +
                (wait ? "; waiting until it stops" : ""));
            said = true;
        }
        if (!wait) return kExitNoResult;
        sleep_unless_stopped(kLockRetry);
        if (stop.raised()) return kExitOk;
    }

    std::vector<std::string> notes;
    const std::unique_ptr<MediaFramework> framework = CreateSystemFramework(notes);
    for (const std::string& note : notes) Log(note);

    const char* power_env = std::getenv("TESSALINE_POWER");
    const bool dry_run = power_env && std::string(power_env) == "dry-run";
#ifdef TESSALINE_WITH_LOGIND
    // logind is asked over D-Bus, which wants an application object in the process.
    static int qt_argc = 1;
    static char qt_name[] = "tessaline-cli";
    static char* qt_argv[] = {qt_name, nullptr};
    QCoreApplication qt(qt_argc, qt_argv);
    const std::shared_ptr<PowerActions> power = CreateSystemPowerActions();
#else
    const std::shared_ptr<PowerActions> power =
        dry_run ? std::shared_ptr<PowerActions>(std::make_shared<DryRunPowerActions>())
                : std::make_shared<NoPowerActions>();
#endif
    WakeAlarm alarm = WakeAlarm::FromEnvironment(Log);

    ScheduleServiceOptions options;
    options.settings_path = ini_path;
    options.default_folder = DefaultFolder();
    options.english = english;
    options.wake_margin_sec = margin;
    options.dry_run_power = dry_run;
    SystemClock clock;
    ScheduleService service(*framework, clock, *power, alarm, Log, options);
    if (!service.Begin()) return kExitFailure;
    Log("running the timetable (service, timetable run by: service); SIGTERM or Ctrl-C ends");

    while (!stop.raised()) {
        service.Tick();
        sleep_unless_stopped(kTickPeriod);
    }
    service.End();
    Log("ended");
    return kExitOk;
}

}  // namespace tessaline::cli
