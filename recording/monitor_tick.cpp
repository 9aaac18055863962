#include "recording/monitor_tick.h"

#include "capture/framework.h"
#include "capture/recording_sequence.h"
#include "recording/span_text.h"
#include "stream/stream_context.h"

namespace tessaline {

void MonitorTick::FollowClock(Instant now, bool recording) {
    const std::chrono::milliseconds elapsed = control_.clock().Elapsed();
    std::chrono::milliseconds passed{0};
    bool jumped = false;
    if (last_) {
        passed = elapsed - last_->elapsed;
        const auto moved = now - last_->at;
        jumped = moved - passed > kJumpTolerance || passed - moved > kJumpTolerance;
    }
    last_ = Reading{now, elapsed};
    if (recording) recorded_until_ = was_recording_ && jumped ? recorded_until_ + passed : now;
    was_recording_ = recording;
}

void MonitorTick::Run() {
    RunState& flags = control_.flags();
    RecordingHost& host = control_.host();
    RecordingState& state = control_.State();
    TStreamStatistics& stats = control_.stream().stats;

    const Instant now = control_.clock().NowInstant();
    FollowClock(now, flags.DeviceReady && flags.IsRecording);
    if (!flags.Busy()) return;
    const bool deck = flags.DeviceReady;
    if (flags.IsWriting) {
        if (deck && WriteToDeckEndOfFile) WriteToDeckEndOfFile();
        return;
    }
    const bool recording = deck && flags.IsRecording;

    // 1. The status bar.
    if (recording) {
        host.SetStatusPanel(2, " " + control_.FinalPath());
        host.SetStatusPanel(0, flags.UseEnglish ? "Recording" : " 録画中");
        const auto span = std::chrono::duration_cast<std::chrono::milliseconds>(state.RecEnd - now);
        host.SetStatusPanel(1, SpanText(span));
    }
    // 2. The batch page.
    if (flags.IsRemuxing && BatchProgress) BatchProgress();
    if (!recording && !flags.IsRemuxing) return;

    // 3. and 4. The data information page and the delay suffix.
    const DataInfoUpdate update = RefreshDataInfo(stats, control_.AddDelay());
    if (update.DelaySuffix) state.DelaySuffix = *update.DelaySuffix;
    host.ShowDataInfo(update);
    if (!recording) {
        said_vanished_ = false;
        return;
    }

    // The recording's folder was deleted: said once, at once; the file is written back at the stop.
    if (!said_vanished_ && control_.FileVanished()) {
        said_vanished_ = true;
        std::string text = kFileVanishedText.Pick(flags.UseEnglish);
        if (const size_t at = text.find("%1"); at != std::string::npos) {
            text.replace(at, 2, control_.FinalPath());
        }
        host.ShowError(text);
    }

    control_.TickReport();

    // A write the disk refused: stop now, so that the file keeps everything written before.
    // A reservation becomes "Abort", as with any early stop.
    if (stats.WriteFailures > 0) {
        control_.Stop(RecordingControl::StopCause::WriteFailure);
        return;
    }
    // A deck whose stream ended with an error (unplugged and not back within the backend's
    // deadline) sends nothing more: end the recording with what it holds rather than run on
    // empty. A stream that simply ended (EC_COMPLETE) keeps recording, as a tape's end does.
    if (const int32_t event = control_.PollDeckEvent(); event != 0 && event != EC_COMPLETE) {
        control_.Stop(RecordingControl::StopCause::DeckLost);
        return;
    }

    // 5. The end of a timed recording or a reservation.
    if ((!state.NoTimeLimit || state.IsReserveRecording) && now > state.RecEnd) {
        if (state.IsReserveRecording && control_.reservations()) {
            // RecEnd is the planned end plus one second.
            const bool to_the_end = recorded_until_ >= state.RecEnd - std::chrono::seconds(1);
            control_.reservations()->MarkRunning(to_the_end ? ReservationStatus::Done
                                                            : ReservationStatus::Aborted);
        }
        control_.Stop();
    }
}

}  // namespace tessaline
