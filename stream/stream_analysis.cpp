// SPDX-License-Identifier: GPL-3.0-or-later
#include "stream/stream_analysis.h"

namespace tessaline {
namespace {

struct CheckNames {
    const char* key;
    const char* title;
};

constexpr CheckNames kNames[kCheckCount] = {
    {"sync_loss", "TS sync loss"},
    {"sync_byte_errors", "Sync byte error"},
    {"pat_errors", "PAT error"},
    {"cc_errors", "Continuity count error"},
    {"pmt_errors", "PMT error"},
    {"pid_errors", "PID error"},
    {"transport_errors", "Transport error"},
    {"crc_errors", "CRC error"},
    {"pcr_repetition_errors", "PCR repetition error"},
    {"pcr_discontinuity_errors", "PCR discontinuity error"},
    {"pcr_accuracy_errors", "PCR accuracy error"},
    {"pts_errors", "PTS error"},
    {"dbc_gaps", "Gap in the capture's block counter"},
    {"empty_stretches", "Stretch without data"},
    {"bus_resets", "Bus reset"},
};

struct ModeRate {
    DvhsMode mode;
    const char* name;
    double rate;
};

// Slowest first.
constexpr ModeRate kModes[] = {
    {DvhsMode::LS7, "LS7", 2.0e6}, {DvhsMode::LS5, "LS5", 2.8e6},  {DvhsMode::LS3, "LS3", 4.7e6},
    {DvhsMode::LS2, "LS2", 7.0e6}, {DvhsMode::STD, "STD", 14.1e6}, {DvhsMode::HS, "HS", 28.2e6},
};
// A second's count may run a little over the mode's rate where packets bunch at a boundary.
constexpr double kModeTolerance = 1.03;

}  // namespace

const char* CheckKey(Check check) noexcept {
    return kNames[static_cast<size_t>(check)].key;
}

const char* CheckTitle(Check check) noexcept {
    return kNames[static_cast<size_t>(check)].title;
}

void ReadVideoFormat(const uint8_t* p, VideoFormat& format) noexcept {
    static constexpr double kRates[] = {0,  24000.0 / 1001, 24, 25, 30000.0 / 1001, 30,
                                        50, 60000.0 / 1001, 60};
    format.width = static_cast<uint16_t>((p[0] << 4) | (p[1] >> 4));
    format.height = static_cast<uint16_t>(((p[1] & 0x0F) << 8) | p[2]);
    format.aspect_code = p[3] >> 4;
    const int code = p[3] & 0x0F;
    if (code > 0 && code < 9) format.frame_rate = kRates[code];
}

const char* LossMeasureName(LossMeasure measure) noexcept {
    switch (measure) {
        case LossMeasure::Capture:
            return "capture";
        case LossMeasure::Clock:
            return "clock";
        case LossMeasure::Counters:
            return "counters";
        case LossMeasure::None:
            break;
    }
    return "none";
}

const char* DvhsModeName(DvhsMode mode) noexcept {
    for (const ModeRate& m : kModes) {
        if (m.mode == mode) return m.name;
    }
    return mode == DvhsMode::AboveHS ? "above HS" : "unknown";
}

double DvhsModeRate(DvhsMode mode) noexcept {
    for (const ModeRate& m : kModes) {
        if (m.mode == mode) return m.rate;
    }
    return 0;
}

DvhsMode DvhsModeFor(double peak) noexcept {
    if (!(peak > 0)) return DvhsMode::Unknown;
    for (const ModeRate& m : kModes) {
        if (peak <= m.rate * kModeTolerance) return m.mode;
    }
    return DvhsMode::AboveHS;
}

}  // namespace tessaline
