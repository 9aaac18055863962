// Reservation records as a settings file may hold them after an edit by hand: one record a line,
// through the parser, the grid texts, the time resolution, the names their recordings get, a day
// of schedule ticks, and a save and a load through the settings file's keys.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/ini_file.h"
#include "recording/file_names.h"
#include "recording/reservation_list.h"
#include "recording/schedule_tick.h"

using namespace tessaline;
using namespace std::chrono;

namespace {

struct Recorder : ScheduleRecorder {
    ReservationList* list = nullptr;
    bool busy = false;
    bool DeviceReady() const override { return true; }
    bool Busy() const override { return busy; }
    void SelectDevice(int) override {}
    void DevicePowerOn() override {}
    void ResetAfterAction() override {}
    bool StartReservation(const ReservationStart&) override { return busy = true; }
    void ClearReservationStart() override {}
    void SaveReservations() override {}
    void RepaintReservations() override {}
};

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

struct StepClock : Clock {
    DateTime now;
    DateTime Now() override { return now; }
    void Sleep(milliseconds span) override { now += span; }
};

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
                (void)ScheduleWindow(*r, day);
                (void)NextWindow(*r, day);
            }
        }
    }
    (void)WaitingReservationCovers(list, 30, DateTime{days(19786)});
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

    // Ticks every 10 minutes over one day around the dates of the usual records.
    Recorder recorder;
    recorder.list = &list;
    StepClock clock;
    clock.now = DateTime{days(19790)};
    ScheduleTick tick(list, recorder, clock);
    for (int i = 0; i < 24 * 6; ++i) {
        tick.Run({});
        if (recorder.busy) {
            list.SetRunningStatus(RecordStatus::Done);
            recorder.busy = false;
        }
        clock.now += minutes(10);
    }
    return 0;
}
