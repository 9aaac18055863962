// Reservation records as a settings file may hold them after an edit by hand: one record a line,
// through the parser, the grid texts, the time resolution, the names their recordings get, and a
// save and a load through the settings file's keys. (A day of schedule ticks over such a list is
// the schedule harness: it costs a hundred times more per input.)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/ini_file.h"
#include "recording/file_names.h"
#include "recording/reservation_list.h"

using namespace tessaline;
using namespace std::chrono;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// The name a reservation's recording gets, as recording control makes it: one file name inside
// the folder, however the record's name field reads.
void CheckRecordingName(std::string_view field) {
    constexpr std::string_view kFolder = "/save/";
    const std::string base = NameInFolder(kFolder, WithoutExtension(field) + "20240309");
    for (const unsigned n : {0u, 9998u, 10000u}) {
        const std::string name = SeriesName(NameSeries::Numbered, base, ".ts", n) + ".ts";
        const std::string_view file = std::string_view(name).substr(kFolder.size());
        Check(name.starts_with(kFolder) && file.size() <= kMaxFileNameBytes);
        Check(file.find('/') == std::string_view::npos && file.front() != '.');
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ReservationList list;
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        const std::string record(text.substr(at, end - at));
        at = end + 1;
        if (record.empty()) continue;
        list.Add(record);
        (void)StatusText(record, true);
        (void)ReservationText(std::string_view(record).substr(0, 19), false);
        if (record.size() > 19)
            (void)ReservationText(std::string_view(record).substr(19, 19), true);
        for (const DateTime day : {DateTime{}, DateTime{days(19786)}, DateTime{days(19791)}}) {
            (void)ResolveReservationTime(std::string_view(record).substr(0, 19), day);
            if (const auto r = ParseReservation(record)) {
                (void)ScheduleWindow(*r, ToInstant(day));
                (void)NextWindow(*r, ToInstant(day));
            }
        }
    }
    (void)WaitingReservationCovers(list, 30, Instant{days(19786)});
    for (const std::string& record : list.Records()) {
        if (const auto r = ParseReservation(record)) CheckRecordingName(r->name);
    }

    // Saved under Reserve01.. of a settings file and read back: stored values lose what the file
    // cannot hold (blanks around, line breaks), after which the list is what the file says and
    // saving it again changes nothing. A runner gets no running record back.
    IniFile ini;
    const ReservationStore store{
        [&](const std::string& key) { return ini.Get("Capture", key); },
        [&](const std::string& key, const std::string& value) { ini.Set("Capture", key, value); }};
    SaveReservations(list, store, kDefaultMaxReserve);
    ReservationList stored;
    LoadReservationsAsStored(stored, store, kDefaultMaxReserve);
    SaveReservations(stored, store, kDefaultMaxReserve);
    const std::string once = ini.Serialize();
    LoadReservationsAsStored(stored, store, kDefaultMaxReserve);
    SaveReservations(stored, store, kDefaultMaxReserve);
    Check(ini.Serialize() == once);
    ReservationList run;
    static_cast<void>(LoadReservations(run, store, kDefaultMaxReserve));
    Check(!run.AnyRunning());

    return 0;
}
