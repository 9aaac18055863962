// The one recording in progress. The window owns it (through RecordingControl) for the whole run.
// IsRecording itself is the program's run-state flag (RunState::IsRecording); the output file is
// held by the RecordingSequence while it is open.
#pragma once

#include <string>

#include "recording/clock.h"

namespace tessaline {

struct RecordingState {
    // Set by the schedule tick just before it presses Rec. for a reservation.
    bool IsReserveRecording = false;
    // The recording has no end time and runs until stopped by hand.
    bool NoTimeLimit = false;
    // "-S" and "-P" on the command line; StartAtLaunch is cleared by the start it causes.
    bool StartAtLaunch = false;
    bool PowerAtLaunch = false;
    // When the recording (or its reservation) began, and when the monitor tick stops it: moments,
    // so that a change of daylight saving time neither lengthens nor shortens a recording.
    Instant RecStart{};
    Instant RecEnd{};
    // Output folder plus file name without extension, and the extension with its leading ".".
    std::string OutputBase;
    std::string OutputExt;
    // Delay text put into the name when the file is closed; kept current by the monitor tick.
    std::string DelaySuffix;
    // The reservation's file-name field; empty otherwise.
    std::string ReserveFileName;
    // Computer power action after the reservation's recording: 0 none, 1 shutdown, 2 standby,
    // 3 hibernate, 4 power off.
    int AfterAction = 0;
};

}  // namespace tessaline
