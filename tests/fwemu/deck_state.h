// SPDX-License-Identifier: GPL-3.0-or-later
// What deck.cpp (AV/C and plugs), deck_stream.cpp (what it sends and records) and deck_save.cpp
// (FWEMU_STATE) share: the deck itself.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/fwemu/fwemu.h"
#include "tests/fwemu/tape.h"

namespace fwemu {

// Transport modes as the TRANSPORT STATE reply gives them: opcode and state.
enum class Mode { Stop, Play, PlayPause, Record, RecordPause, Rewind, Forward };
enum class Medium { Present, None, Protected };

struct PendingFrame {
    double due = 0;
    Bytes frame;
    bool power_on = false;
    bool record = false;
};

struct Deck {
    bool present = true;
    bool power = true;
    Mode mode = Mode::Stop;
    Medium medium = Medium::Present;
    // Plugs.
    uint32_t opcr = 0;
    uint32_t ipcr = 0;
    double reset_at = -1;
    bool opcr_restored = true;
    bool ipcr_restored = true;
    double last_signal = -10;
    int busy_left = 0;
    std::vector<PendingFrame> pending;
    uint8_t dbc = 0;
    // FWEMU_PLAY, without a cassette.
    Bytes file;
    int packet_size = 0;
    size_t next = 0;  // next source packet of the file
    double per_cycle = 0;
    double credit = 0;
    bool ended_logged = false;
    bool playing = false;
    // The cassette (FWEMU_CASSETTE).
    bool cassette = false;
    Tape tape;
    int64_t position = 0;
    int recordings = 0;  // numbers this process's recording files
    // FWEMU_TAPE.
    int tape_fd = -1;
    uint64_t tape_packets = 0;
    // Pacing of what we receive: bus time against the PCRs of the first PID that has them.
    int pcr_pid = -1;
    double pcr_first = 0;
    uint64_t pcr_first_cycle = 0;
    double pcr_max_error = 0;
    uint64_t pcr_count = 0;
    // FWEMU_STATE: what was last read or written, to tell a change by another process and a tape
    // that moved faster than the wall clock here.
    bool dirty = false;       // changed here, not yet written
    bool recorded = false;    // a recording grew since the last write
    double saved_at = -10;    // NowSeconds() of the last write
    double checked_at = -10;  // NowSeconds() the file was last looked at
    int64_t base_position = 0;
    double base_taken = 0;  // wall clock
    Mode base_mode = Mode::Stop;
    ino_t file_inode = 0;
    int64_t file_mtime_ns = -1;
};

Deck& TheDeck();
const char* ModeText(Mode m);
bool ModeFromText(const std::string& text, Mode& m);
// The transport changes: a recording begins or ends, playing starts where the tape is.
void SetMode(Mode m);
// Tape positions the transport moves in one cycle.
int64_t ModeSpeed(Mode m);
bool Connected(uint32_t pcr);
unsigned PcrChannel(uint32_t pcr);

// ---- deck_save.cpp
void StateLoad();
void StateTick(double now);
// Takes over the deck another process saved since, if it did: before every command, so that
// what the deck answers is what the last process left.
void StateRefresh();
// The file of a recording this process makes ("" without FWEMU_STATE).
std::string RecordingFile();

}  // namespace fwemu
