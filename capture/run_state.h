// The run-state flags of the program, kept in one place: the device box logic sets the first two,
// recording control, the batch conversion and the deck writer the next three, and the window reads
// them all to decide which controls are usable. Window-thread values; whoever changes one of the
// first five recomputes the control states.
#pragma once

namespace tessaline {

struct RunState {
    bool DeviceReady = false;   // a capture device is open and usable
    bool GrabberReady = false;  // the sample grabber filter is registered
    bool IsRecording = false;
    bool IsRemuxing = false;  // a batch conversion runs
    bool IsWriting = false;   // files are being played into the deck
    bool UseEnglish = false;

    bool Busy() const { return IsRecording || IsRemuxing || IsWriting; }
    bool Idle() const { return DeviceReady && GrabberReady && !Busy(); }
    bool Stoppable() const {
        return DeviceReady && GrabberReady && IsRecording && !IsRemuxing && !IsWriting;
    }
};

}  // namespace tessaline
