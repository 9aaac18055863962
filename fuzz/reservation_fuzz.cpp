// Reservation records as a settings file may hold them after an edit by hand: one record a line,
// through the parser, the grid texts, the time resolution and a day of schedule ticks.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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
    std::optional<std::string> DeckTakenElsewhere(int) override { return std::nullopt; }
    void ReservationWaits(const std::string&, const std::string&) override {}
};

struct StepClock : Clock {
    Instant now;
    Instant NowInstant() override { return now; }
    milliseconds Elapsed() override { return now.time_since_epoch(); }
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
                (void)ScheduleWindow(*r, ToInstant(day));
                (void)NextWindow(*r, ToInstant(day));
            }
        }
    }
    (void)WaitingReservationCovers(list, 30, Instant{days(19786)});

    // Ticks every 10 minutes over one day around the dates of the usual records.
    Recorder recorder;
    recorder.list = &list;
    StepClock clock;
    clock.now = Instant{days(19790)};
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
