// reservations: the timetable from the settings file, as the window's grid shows it, with the
// next start and end the schedule will run each record at, and who runs the timetable now.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/capture_settings.h"
#include "app/ini_file.h"
#include "recording/reservation_list.h"
#include "recording/schedule_rules.h"
#include "recording/timetable_lock.h"
#include "tools/cli_common.h"

namespace tessaline::cli {

namespace {

namespace L = reserve_layout;

std::string Json(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

struct Row {
    std::string record;
    std::optional<Reservation> parsed;
    std::optional<ReservationWindow> next;
    bool will_run = false;
    bool missed = false;
    bool interrupted = false;  // stored as running, and no program runs the timetable
};

Row Describe(const std::string& record, Instant now, TimetableRunner runner) {
    Row row;
    row.record = record;
    row.parsed = ParseReservation(row.record);
    if (!row.parsed) return row;
    const Reservation& r = *row.parsed;
    // When and whether it runs is the schedule's own rule; what a record that will not run shows
    // as "next" is the window it would have.
    row.next = NextScheduledRun(r, now);
    row.will_run = row.next.has_value();
    if (!row.next && r.skip) {
        Reservation active = r;
        active.skip = false;
        row.next = NextScheduledRun(active, now);
    }
    if (!row.next) row.next = NextWindow(r, now);
    row.missed = MissedReservation(r, now);
    row.interrupted = r.status == RecordStatus::Running && runner == TimetableRunner::Nobody;
    return row;
}

std::string_view StateName(const Row& row) {
    if (row.missed) return "missed";
    switch (row.parsed->status) {
        case RecordStatus::Running:
            return row.interrupted ? "interrupted" : "running";
        case RecordStatus::Aborted:
            return "aborted";
        case RecordStatus::Done:
            return "done";
        default:
            return "waiting";
    }
}

void PrintHelp() {
    std::printf(
        "usage: tessaline-cli reservations [--english] [--json] [--ini FILE] [--at TIME]\n"
        "Prints the timetable kept in the window's settings file as the reservation grid shows\n"
        "it (start, end, status), with the start and end of each record's next run as the\n"
        "schedule will run it, its deck, power action, SKIP mark and file name, and who runs the\n"
        "timetable now (the window, the service 'tessaline-cli schedule', or nobody).\n"
        "A one-time reservation whose end passed before it could run is marked 'missed'; one\n"
        "stored as running while no program runs the timetable, 'interrupted'.\n"
        "\n"
        "  --english    English texts (else the system language decides, as in the window)\n"
        "  --json       one JSON object for scripts\n"
        "  --ini FILE   this settings file (else TESSALINE_INI, else the window's own)\n"
        "  --at TIME    resolve as of TIME, \"YYYY/MM/DD HH:NN:SS\", instead of now\n"
        "\n"
        "Exit codes: 0 listed (also when the list is empty), 1 the file cannot be read,\n"
        "2 bad usage.\n");
}

}  // namespace

int ReservationsCommand(const Args& args) {
    bool english = !JapaneseLocale();
    bool json = false;
    std::filesystem::path ini_path;
    std::optional<DateTime> at;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            PrintHelp();
            return kExitOk;
        } else if (a == "--english") {
            english = true;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--ini" && i + 1 < args.size()) {
            ini_path = args[++i];
        } else if (a == "--at" && i + 1 < args.size()) {
            at = ParseDateTime(args[++i]);
            if (!at) return Usage("--at takes \"YYYY/MM/DD HH:NN:SS\", not '" + args[i] + "'");
        } else {
            return Usage("reservations: unknown argument '" + a + "'");
        }
    }
    if (ini_path.empty()) ini_path = WindowSettingsPath();
    // A local time the clocks skip or show twice is read as the schedule reads it.
    const Instant now = at ? ToInstant(*at) : SystemClock().NowInstant();

    const IniReadResult read = ReadIniFile(ini_path);
    if (read.status == IniReadStatus::TooLarge || read.status == IniReadStatus::Unreadable) {
        std::fprintf(stderr, "tessaline-cli: cannot read %s: %s\n", ini_path.c_str(),
                     read.error.c_str());
        return kExitFailure;
    }
    const int max_reserve = ReadCaptureSettings(read.file, "").MaxReserve;
    ReservationList list;
    ReservationStore store;
    store.get = [&read](const std::string& key) { return read.file.Get(kSettingsSection, key); };
    // Shown as stored: a running record belongs to whoever runs the timetable, never to us.
    LoadReservationsAsStored(list, store, max_reserve);
    const TimetableRunner runner = WhoRunsTimetable(TimetableLockPath(ini_path));
    const std::string runner_name(RunnerName(runner));

    if (json) {
        std::string out = "{\"settings\":" + Json(ini_path.string()) +
                          ",\"max_reserve\":" + std::to_string(max_reserve) +
                          ",\"now\":" + Json(FormatDateTime(ToLocal(now))) +
                          ",\"runner\":" + Json(runner_name) + ",\"reservations\":[";
        for (int i = 0; i < list.Count(); ++i) {
            const Row row = Describe(list[i], now, runner);
            const std::string_view rec = row.record;
            if (i) out += ',';
            out += "{\"row\":" + std::to_string(i + 1) + ",\"record\":" + Json(rec);
            out += ",\"well_formed\":" + std::string(row.parsed ? "true" : "false");
            out += ",\"start\":" + Json(ReservationText(rec.substr(0, L::kFieldWidth), english));
            out += ",\"end\":" +
                   Json(rec.size() > L::kEnd
                            ? ReservationText(rec.substr(L::kEnd, L::kFieldWidth), english)
                            : std::string());
            out += ",\"status_text\":" + Json(StatusText(rec, english));
            if (row.parsed) {
                const Reservation& r = *row.parsed;
                out += ",\"weekly\":" + std::string(r.weekly ? "true" : "false");
                out += ",\"status\":" + std::to_string(static_cast<char>(r.status) - '0');
                out += ",\"device\":" + std::to_string(r.device);
                out +=
                    ",\"power_action\":" + Json(r.action == AfterActionKind::None
                                                    ? "none"
                                                    : PowerActionName(static_cast<int>(r.action)));
                out += ",\"skip\":" + std::string(r.skip ? "true" : "false");
                out += ",\"name\":" + Json(r.name);
                out += ",\"state\":" + Json(StateName(row));
                out += ",\"missed\":" + std::string(row.missed ? "true" : "false");
            }
            out += ",\"next_start\":" +
                   (row.next ? Json(FormatDateTime(ToLocal(row.next->start))) : "null");
            out += ",\"next_end\":" +
                   (row.next ? Json(FormatDateTime(ToLocal(row.next->end))) : "null");
            out += ",\"will_run\":" + std::string(row.will_run ? "true" : "false") + "}";
        }
        out += "]}\n";
        std::fputs(out.c_str(), stdout);
        return kExitOk;
    }

    std::printf("%s (%d of %d), timetable run by: %s\n", ini_path.c_str(), list.Count(),
                max_reserve, runner_name.c_str());
    for (int i = 0; i < list.Count(); ++i) {
        const Row row = Describe(list[i], now, runner);
        const std::string_view rec = row.record;
        const std::string start = ReservationText(rec.substr(0, L::kFieldWidth), english);
        const std::string end = rec.size() > L::kEnd
                                    ? ReservationText(rec.substr(L::kEnd, L::kFieldWidth), english)
                                    : std::string();
        std::printf("%2d  %-22s %-22s %-6s", i + 1, start.c_str(), end.c_str(),
                    StatusText(rec, english).c_str());
        if (!row.parsed) {
            std::printf("  not well formed: never runs\n");
            continue;
        }
        const Reservation& r = *row.parsed;
        if (row.next) {
            std::printf("  next %s - %s", FormatDateTime(ToLocal(row.next->start)).c_str(),
                        FormatDateTime(ToLocal(row.next->end)).c_str());
        }
        if (row.missed) std::printf("  missed");
        if (row.interrupted) std::printf("  interrupted: no program runs the timetable");
        if (r.skip) {
            std::printf("  SKIP");
        } else if (!row.will_run) {
            std::printf("  will not run");
        }
        std::printf("  deck %d", r.device);
        if (r.action != AfterActionKind::None) {
            const std::string_view name = PowerActionName(static_cast<int>(r.action));
            std::printf("  then %.*s", static_cast<int>(name.size()), name.data());
        }
        if (!r.name.empty()) {
            std::printf("  \"%.*s\"", static_cast<int>(r.name.size()), r.name.data());
        }
        std::printf("\n");
    }
    return kExitOk;
}

}  // namespace tessaline::cli
