// SPDX-License-Identifier: GPL-3.0-or-later
// Where one recording on a tape ends and the next begins. A tape holds recordings one after the
// other, sometimes with a blank between them, sometimes not; the stream itself says when it was
// started again. The rule is conservative, so that one recording is never cut in two:
//
//   - a blank: the deck sent no data for at least a second (told by the capture side);
//   - a new transport stream: the PAT names another transport_stream_id, or other programs
//     (other program numbers or PMT PIDs); a new PAT version with the same programs is not one;
//   - a new program: the first program's PMT names another PCR PID, or none of the elementary
//     PIDs it named before; streams added or dropped beside ones that stay are not one;
//   - a jump of the first program's PCR without the discontinuity indicator: back by more than
//     a second, or forward by more than a minute. A dropout moves the clock forward by the time
//     it lost, seconds at most; a flagged discontinuity is a splice inside one recording.
//
// Tables with a wrong CRC and packets marked damaged are never taken as a restart. The cut is
// made at the first packet that shows the restart; nothing is cut before a recording has a
// packet.
#pragma once

#include <cstdint>

#include "stream/psi_sections.h"

namespace tessaline {

class RecordingSplitter {
  public:
    static constexpr double kMinBlank = 1.0;        // seconds
    static constexpr double kMaxPcrBack = 1.0;      // seconds
    static constexpr double kMaxPcrForward = 60.0;  // seconds

    enum class Reason { None, Blank, NewTransportStream, NewProgram, PcrJump };

    RecordingSplitter() { Reset(); }
    void Reset();

    // The deck sent nothing for this long before the next packet.
    void Blank(double seconds) noexcept;
    // One 188-byte TS packet, in order. True when a new recording begins with it.
    bool Packet(const uint8_t* ts);

    Reason reason() const noexcept { return reason_; }            // of the last split
    uint64_t recordings() const noexcept { return recordings_; }  // begun so far, this one too

  private:
    bool Split(Reason reason);
    Reason OnSection(uint16_t pid, const uint8_t* section, size_t length);

    SectionAssembler pat_sections_;
    SectionAssembler pmt_sections_;
    PatTable pat_;
    bool have_pat_ = false;
    PmtTable pmt_;
    bool have_pmt_ = false;
    uint16_t pmt_pid_ = kPidNull;
    uint16_t pcr_pid_ = kPidNull;
    bool have_pcr_ = false;
    uint64_t last_pcr_ = 0;
    bool blank_ = false;
    uint64_t packets_ = 0;  // in the current recording
    uint64_t recordings_ = 0;
    Reason reason_ = Reason::None;
};

const char* SplitReasonName(RecordingSplitter::Reason reason) noexcept;

}  // namespace tessaline
