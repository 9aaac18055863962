// SPDX-License-Identifier: GPL-3.0-or-later
// What the analyser found in one recording: the counts of the transport stream checks (named as
// in ETSI TR 101 290), the events with their places, the dropouts, the bit rate and what the
// stream says about itself. Plain data, copied out of the analyser for reports.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <vector>

#include "stream/psi_sections.h"

namespace tessaline {

enum class Check : uint8_t {
    // First priority.
    SyncLoss,
    SyncByte,
    Pat,
    Continuity,
    Pmt,
    Pid,
    // Second priority.
    TransportError,
    Crc,
    PcrRepetition,
    PcrDiscontinuity,
    PcrAccuracy,
    Pts,
    // Told by the capture side.
    DbcGap,
    EmptyStretch,
    BusReset,
};
inline constexpr size_t kCheckCount = static_cast<size_t>(Check::BusReset) + 1;

// The key of a check's count in the report ("cc_errors"), and its name for people.
const char* CheckKey(Check check) noexcept;
const char* CheckTitle(Check check) noexcept;

inline constexpr double kNoTime = std::numeric_limits<double>::quiet_NaN();
inline constexpr int64_t kNoWallClock = std::numeric_limits<int64_t>::min();
inline constexpr uint16_t kNoPid = 0xFFFF;

// Where something happened.
struct EventPlace {
    double stream = kNoTime;  // seconds of stream time (PCR) from the recording's first packet
    uint64_t packet = 0;      // packets before it
    uint64_t offset = 0;      // byte offset in the bytes analysed
    int64_t wall_ms = kNoWallClock;  // when it was received (Unix time, ms); files have none
    double tape = kNoTime;           // the deck's tape counter, seconds
};

// One event, or several of the same kind on the same PID less than a second apart.
struct AnalysisEvent {
    Check check = Check::SyncLoss;
    uint16_t pid = kNoPid;
    uint32_t count = 1;
    EventPlace at;
    double last_stream = kNoTime;  // stream time of the last one merged in
    int64_t value = 0;             // packets lost, PCR deviation in ns, gap in ms: see the check
};

// How a dropout's lost packets were counted.
enum class LossMeasure : uint8_t {
    None,      // nothing is missing: packets arrived damaged
    Capture,   // the capture's block counter: exact
    Clock,     // the stream's clock against its packet rate: an estimate
    Counters,  // the continuity counters' steps: at least this many
};
const char* LossMeasureName(LossMeasure measure) noexcept;

// A stretch of the stream that lost packets or holds damaged ones.
struct Dropout {
    EventPlace at;              // the last packet before the loss (or the first damaged one)
    double duration = 0;        // seconds of stream missing; 0 when packets were only damaged
    uint64_t packets_lost = 0;  // counted as lost_from says
    LossMeasure lost_from = LossMeasure::None;
    uint32_t damaged_packets = 0;  // packets that arrived marked as damaged
    uint32_t cc_errors = 0;
    uint32_t pictures = 0;  // video pictures damaged or missing
    uint32_t gops = 0;      // groups of pictures they belong to
    bool video = false;     // the video stream was hit
};

struct ProgramSummary {
    uint16_t number = 0;
    uint16_t pmt_pid = kPidNull;
    uint16_t pcr_pid = kPidNull;
    int streams = 0;
    std::array<uint16_t, kMaxStreams> pid{};
    std::array<uint8_t, kMaxStreams> stream_type{};
};

struct VideoFormat {
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t aspect_code = 0;  // 2: 4:3, 3: 16:9
    double frame_rate = 0;    // 0 until a sequence header was read
};

// Fills `format` from the four bytes behind a sequence header's start code (00 00 01 B3). A
// frame rate code that stands for none leaves the frame rate as it was.
void ReadVideoFormat(const uint8_t* fields, VideoFormat& format) noexcept;

// The recording speeds of a D-VHS deck; a stream fits the slowest one at or above its peak rate.
enum class DvhsMode : uint8_t { Unknown, LS7, LS5, LS3, LS2, STD, HS, AboveHS };
const char* DvhsModeName(DvhsMode mode) noexcept;
double DvhsModeRate(DvhsMode mode) noexcept;  // bits per second; 0 for Unknown and AboveHS
DvhsMode DvhsModeFor(double peak_bits_per_second) noexcept;

// How the 4-byte headers of 192-byte packets count time.
enum class ArrivalClock : uint8_t {
    None,   // 188-byte packets, or not yet known
    Cycle,  // IEEE 1394 cycle time: 13-bit cycle count, 12-bit offset of 24.576 MHz
    Ats27,  // a 30-bit count of a 27 MHz clock
};

struct StreamAnalysis {
    int packet_size = 0;   // 188 or 192; 0 when no sync was found
    uint64_t bytes = 0;    // bytes analysed
    uint64_t packets = 0;  // packets with a sync byte (null packets included)
    uint64_t null_packets = 0;
    uint64_t scrambled_packets = 0;
    uint64_t bytes_skipped = 0;   // passed over while out of sync
    uint64_t trailing_bytes = 0;  // an incomplete packet at the end
    double duration = kNoTime;    // stream seconds from the first packet to past the last

    std::array<uint64_t, kCheckCount> counts{};
    uint64_t Count(Check check) const noexcept { return counts[static_cast<size_t>(check)]; }

    std::vector<AnalysisEvent> events;
    uint64_t events_not_listed = 0;  // beyond the list's room; counted all the same
    std::vector<Dropout> dropouts;
    uint64_t dropouts_not_listed = 0;
    uint64_t packets_lost = 0;  // over all dropouts
    uint64_t damaged_packets = 0;

    std::vector<double> bitrate;  // bits in each second of stream time
    double mean_bitrate = kNoTime;
    double peak_bitrate = kNoTime;
    DvhsMode mode = DvhsMode::Unknown;

    ArrivalClock arrival_clock = ArrivalClock::None;
    double pcr_deviation_max_ns = kNoTime;  // largest PCR deviation from the arrival stamps

    bool have_pat = false;
    uint16_t transport_stream_id = 0;
    int program_count = 0;
    std::array<ProgramSummary, kMaxPrograms> programs{};
    uint16_t video_pid = kNoPid;
    VideoFormat video;
    uint64_t pictures = 0;  // video PES starts (one picture each)
    uint64_t gops = 0;

    CopyControl stream_copy_control = CopyControl::Unknown;
    CopyControl iso_copy_control = CopyControl::Unknown;

    double tape_start = kNoTime;  // the tape counter at the first and last packet, when known
    double tape_end = kNoTime;
    int64_t wall_start_ms = kNoWallClock;
    int64_t wall_end_ms = kNoWallClock;
    bool finished = false;  // the analysis is complete (false in a snapshot of one still running)
};

}  // namespace tessaline
