// SPDX-License-Identifier: GPL-3.0-or-later
// What the capture side knows of a stream that the stream's own bytes cannot tell: breaks in the
// isochronous data block counter, stretches where the deck sent nothing but empty packets, bus
// resets, the deck's tape counter and the copy-control bits of the isochronous header. A deck
// backend reports them here; the analyser places each at the packet it is receiving then.
// Every call may come from any thread, also while a capture buffer is being analysed.
#pragma once

#include <cstdint>

namespace tessaline {

class CaptureEvents {
  public:
    virtual ~CaptureEvents() = default;
    // `blocks_lost` data blocks were missing; `blocks_per_packet` of them make one source packet
    // (8 for a deck's MPEG-2 TS).
    virtual void DbcGap(uint64_t blocks_lost, int blocks_per_packet) = 0;
    // The deck sent no data for this long (a blank on the tape, or nothing playing).
    virtual void EmptyStretch(double seconds) = 0;
    virtual void BusReset() = 0;
    // The tape counter in seconds from the tape's start; negative when the deck does not say.
    virtual void TapePosition(double seconds) = 0;
    // The two EMI bits of the isochronous header (0: copy free).
    virtual void IsoCopyControl(unsigned emi) = 0;
};

}  // namespace tessaline
