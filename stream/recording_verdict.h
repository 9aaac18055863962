// SPDX-License-Identifier: GPL-3.0-or-later
// The verdict on one recording, from what the analyser found, and why, in words.
//
//   fail  the recording cannot be trusted as a copy: no transport stream, no PAT or no PMT to
//         find its programs by, more than 1 % of its packets lost or unreadable, or a single
//         dropout longer than 2 seconds (a hole anyone watching sees).
//   warn  damage was found but the rest is sound: any first-priority error of TR 101 290
//         (sync, PAT, continuity, PMT, PID), packets marked damaged, CRC errors, PCR or PTS
//         errors, gaps in the capture's block counter, bus resets, a torn last packet.
//   pass  none of these.
//
// Not held against a recording: PCR accuracy against the arrival stamps (it measures the
// multiplexer's clock or the deck's time stamps, not the copy), stretches without data (blanks
// are listed on their own) and scrambled packets (copy protection, shown).
#pragma once

#include <string>
#include <vector>

#include "stream/stream_analysis.h"

namespace tessaline {

enum class Verdict { Pass, Warn, Fail };

inline constexpr double kFailLostShare = 0.01;
inline constexpr double kFailDropoutSeconds = 2.0;

const char* VerdictName(Verdict verdict) noexcept;  // "pass", "warn", "fail"
Verdict Worse(Verdict a, Verdict b) noexcept;

struct Judgement {
    Verdict verdict = Verdict::Pass;
    std::vector<std::string> reasons;  // one sentence each, worst first
};

Judgement JudgeRecording(const StreamAnalysis& analysis);

}  // namespace tessaline
