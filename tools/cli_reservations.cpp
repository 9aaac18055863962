// reservations: the timetable from the settings file, as the window's grid shows it, with the
// next start and end each record resolves to.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/capture_settings.h"
#include "app/ini_file.h"
#include "recording/reservation_list.h"
#include "recording/schedule_tick.h"
#include "tools/cli_common.h"

namespace tessaline::cli {

namespace {

namespace L = reserve_layout;

// The window's settings file: the window sits beside this tool when installed, and in ../app in
// the build tree.
std::filesystem::path WindowSettingsPath() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    const std::filesystem::path dir = self.parent_path();
    std::filesystem::path window = dir / "tessaline";
    for (const auto& candidate : {dir / "tessaline", dir / ".." / "app" / "tessaline"}) {
        if (std::filesystem::exists(candidate, ec)) {
            window = std::filesystem::weakly_canonical(candidate, ec);
            break;
        }
    }
    SettingsPathInputs in;
    in.executable = window;
    in.ini_override = std::getenv("TESSALINE_INI");
    in.xdg_config_home = std::getenv("XDG_CONFIG_HOME");
    in.home = std::getenv("HOME");
    return ResolveSettingsPath(in);
}

bool JapaneseLocale() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) return std::strncmp(value, "ja", 2) == 0;
    }
    return false;
}

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
};

Row Describe(const std::string& record, DateTime now) {
    Row row;
    row.record = record;
    row.parsed = ParseReservation(row.record);
    if (!row.parsed) return row;
    row.next = NextWindow(*row.parsed, now);
    const RecordStatus s = row.parsed->status;
    // A weekly record that has run waits again for its next day.
    const bool armed =
        s == RecordStatus::Waiting ||
        (row.parsed->weekly && (s == RecordStatus::Aborted || s == RecordStatus::Done));
    row.will_run = !row.parsed->skip && armed && row.next && row.next->end >= now;
    return row;
}

void PrintHelp() {
    std::printf(
        "usage: tessaline-cli reservations [--english] [--json] [--ini FILE] [--at TIME]\n"
        "Prints the timetable kept in the window's settings file as the reservation grid shows\n"
        "it (start, end, status), with each record's next start and end, its deck, power action,\n"
        "SKIP mark and file name.\n"
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
    const DateTime now = at.value_or(SystemClock().Now());

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
    LoadReservations(list, store, max_reserve);

    if (json) {
        std::string out = "{\"settings\":" + Json(ini_path.string()) +
                          ",\"max_reserve\":" + std::to_string(max_reserve) +
                          ",\"now\":" + Json(FormatDateTime(now)) + ",\"reservations\":[";
        for (int i = 0; i < list.Count(); ++i) {
            const Row row = Describe(list[i], now);
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
            }
            out += ",\"next_start\":" + (row.next ? Json(FormatDateTime(row.next->start)) : "null");
            out += ",\"next_end\":" + (row.next ? Json(FormatDateTime(row.next->end)) : "null");
            out += ",\"will_run\":" + std::string(row.will_run ? "true" : "false") + "}";
        }
        out += "]}\n";
        std::fputs(out.c_str(), stdout);
        return kExitOk;
    }

    std::printf("%s (%d of %d)\n", ini_path.c_str(), list.Count(), max_reserve);
    for (int i = 0; i < list.Count(); ++i) {
        const Row row = Describe(list[i], now);
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
            std::printf("  next %s - %s", FormatDateTime(row.next->start).c_str(),
                        FormatDateTime(row.next->end).c_str());
        }
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
