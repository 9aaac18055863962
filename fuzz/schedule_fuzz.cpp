// SPDX-License-Identifier: GPL-3.0-or-later
// A timetable as a settings file may hold it after an edit by hand (one record a line, at most as
// many as the list takes) through a day of schedule ticks every 10 minutes, around the dates of
// the usual records: every start it asks for is taken and ended done.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "recording/reservation_list.h"
#include "recording/schedule_tick.h"

using namespace tessaline;
using namespace std::chrono;

namespace {

struct Recorder : ScheduleRecorder {
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
    while (at <= text.size() && list.Count() < kDefaultMaxReserve) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string record(text.substr(at, end - at));
        at = end + 1;
        if (!record.empty()) list.Add(std::move(record));
    }
    Recorder recorder;
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
