// SPDX-License-Identifier: GPL-3.0-or-later
// A transport stream made to order for the analyser's and the splitter's tests: constant rate,
// PAT and PMT at a fixed interval, a video PID carrying the PCR and one picture per PES, an
// audio PID, null packets if asked, and 192-byte source packets with either kind of arrival
// stamp. Every packet's time is known, so a test can say exactly what damage it did.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/support/test_support.h"

namespace tessaline::test {

struct SyntheticOptions {
    double seconds = 3;
    double rate = 4e6;  // bits per second of 188-byte packets
    double pcr_interval = 0.04;
    double table_interval = 0.1;
    uint16_t transport_stream_id = 1;
    uint16_t program = 1;
    uint16_t pmt_pid = 0x1000;
    uint16_t video_pid = 0x100;
    uint16_t audio_pid = 0x101;
    uint64_t pcr_start = 27000000ull * 10;  // the PCR of time 0
    int null_every = 0;                     // every Nth packet is a null packet; 0: none
    int audio_every = 8;                    // every Nth packet is audio
    double frame_rate = 30000.0 / 1001;
    int gop = 15;
    bool audio_pts = true;
    int packet_size = 188;  // 192: an arrival header in front of each packet
    enum class Arrival { Cycle, Ats27 } arrival = Arrival::Cycle;
    int arib_copy_control = -1;  // the two bits of a digital copy control descriptor; -1: none
};

struct SyntheticStream {
    Bytes bytes;
    size_t packets = 0;
    double packet_seconds = 0;  // time between two packets
    size_t pictures = 0;
};

SyntheticStream MakeSyntheticStream(const SyntheticOptions& options);

// The time of packet i in a stream of these options.
double PacketTime(const SyntheticOptions& options, size_t i);

// Copies without `count` packets from packet `first` on.
Bytes DropPackets(const Bytes& bytes, int packet_size, size_t first, size_t count);

// The 188 bytes of packet i (after its arrival header).
uint8_t* TsPacketAt(Bytes& bytes, int packet_size, size_t i);

// The section a packet of this builder starts (behind its adaptation field and pointer field).
uint8_t* SectionIn(uint8_t* ts);

// CRC-32/MPEG-2, written out bit by bit: the tests' own, to build sections with.
uint32_t TestCrc32(const uint8_t* bytes, size_t count);

// Continuity errors as TR 101 290 1.4 counts them, by a counter of the tests' own: per PID with
// payload, null packets left out, one repeat allowed, the discontinuity indicator honoured.
size_t CountContinuityErrors(const Bytes& bytes, int packet_size);

}  // namespace tessaline::test
