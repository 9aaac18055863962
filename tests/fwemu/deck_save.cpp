// SPDX-License-Identifier: GPL-3.0-or-later
// FWEMU_STATE: the deck kept between processes (power, medium, transport, the tape's position and
// when it was taken, the recordings on the tape), so that one program can start the deck and
// another record from it. Written whole (temporary file, then rename) when this process changed
// the deck; read at start and whenever another process replaced it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "tests/fwemu/deck_state.h"

namespace fwemu {
namespace {

// A tape that moved this much away from where the wall clock puts it (fast pace) is written.
constexpr int64_t kDivergence = kTapeRate / 10;

struct Saved {
    std::string cassette;
    double tape_seconds = -1;
    bool power = true;
    Medium medium = Medium::Present;
    Mode mode = Mode::Stop;
    int64_t position = 0;
    double taken = 0;
    std::vector<Tape::Extent> recordings;
};

double WallNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

const std::string& Path() {
    return Config().state;
}

bool Identity(ino_t& inode, int64_t& mtime_ns) {
    struct stat st {};
    if (stat(Path().c_str(), &st) != 0) return false;
    inode = st.st_ino;
    mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

int64_t Cycles(double seconds) {
    return std::llround(seconds * kTapeRate);
}

bool Parse(Saved& s) {
    Bytes bytes;
    if (!ReadWholeFile(Path(), bytes)) return false;
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    std::string line;
    bool versioned = false;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key, value;
        words >> key;
        std::getline(words >> std::ws, value);
        if (key == "fwemu-state") {
            versioned = value == "1";
        } else if (key == "cassette") {
            s.cassette = value;
        } else if (key == "tape-seconds") {
            s.tape_seconds = std::atof(value.c_str());
        } else if (key == "power") {
            s.power = value != "off";
        } else if (key == "medium") {
            s.medium = value == "none"        ? Medium::None
                       : value == "protected" ? Medium::Protected
                                              : Medium::Present;
        } else if (key == "mode") {
            ModeFromText(value, s.mode);
        } else if (key == "position") {
            s.position = Cycles(std::atof(value.c_str()));
        } else if (key == "taken") {
            s.taken = std::atof(value.c_str());
        } else if (key == "recording") {
            std::istringstream r(value);
            double from = 0, to = 0;
            Tape::Extent e;
            if (r >> from >> to >> e.file) {
                e.from = Cycles(from);
                e.to = Cycles(to);
                s.recordings.push_back(e);
            }
        }
    }
    if (!versioned)
        std::fprintf(stderr, "fwemu: FWEMU_STATE %s: no 'fwemu-state 1'\n", Path().c_str());
    return versioned;
}

// Where the tape is now, after `elapsed` seconds in `mode` from `position`; the transport stops
// at the tape's ends.
void Extrapolate(Mode& mode, int64_t& position, double elapsed, bool power) {
    const Deck& d = TheDeck();
    if (!d.cassette || !power || elapsed <= 0) return;
    const int64_t speed = ModeSpeed(mode);
    if (speed == 0) return;
    position += std::llround(elapsed * static_cast<double>(kTapeRate * speed));
    if (position >= d.tape.length()) {
        position = d.tape.length();
        mode = Mode::Stop;
    } else if (position <= 0) {
        position = 0;
        mode = Mode::Stop;
    }
}

bool Diverged() {
    const Deck& d = TheDeck();
    if (!d.cassette) return false;
    Mode mode = d.base_mode;
    int64_t position = d.base_position;
    Extrapolate(mode, position, WallNow() - d.base_taken, d.power);
    return mode != d.mode || std::llabs(position - d.position) > kDivergence;
}

// Takes over a saved deck; false when it belongs to another cassette.
bool Apply(const Saved& s) {
    Deck& d = TheDeck();
    const Settings& cfg = Config();
    if (s.cassette != cfg.cassette ||
        (d.cassette && std::llabs(Cycles(s.tape_seconds) - d.tape.length()) > 1)) {
        Trace("state of another cassette not used");
        return false;
    }
    d.power = s.power;
    d.medium = s.medium;
    d.mode = s.mode;
    d.position = 0;
    if (d.cassette) {
        std::string error;
        d.tape = Tape();
        d.tape.Load(cfg.items, cfg.tape_seconds, cfg.damage, error);
        for (const Tape::Extent& e : s.recordings) {
            if (!d.tape.AddRecording(e)) {
                std::fprintf(stderr, "fwemu: FWEMU_STATE: cannot read recording %s\n",
                             e.file.c_str());
            }
        }
        d.position = std::clamp<int64_t>(s.position, 0, d.tape.length());
        Extrapolate(d.mode, d.position, WallNow() - s.taken, d.power);
        d.tape.Seek();
    }
    d.base_mode = s.mode;
    d.base_position = s.position;
    d.base_taken = s.taken;
    Trace("state loaded power=%d mode=%s position=%.3f", d.power ? 1 : 0, ModeText(d.mode),
          static_cast<double>(d.position) / kTapeRate);
    return true;
}

void Save() {
    Deck& d = TheDeck();
    if (d.cassette && d.tape.recording()) d.tape.Flush(d.position);
    const double taken = WallNow();
    std::string text = "fwemu-state 1\n";
    char line[512];
    auto add = [&](const char* format, auto... args) {
        std::snprintf(line, sizeof line, format, args...);
        text += line;
    };
    if (Config().has_cassette) add("cassette %s\n", Config().cassette.c_str());
    if (d.cassette) add("tape-seconds %.6f\n", static_cast<double>(d.tape.length()) / kTapeRate);
    add("power %s\n", d.power ? "on" : "off");
    add("medium %s\n", d.medium == Medium::None        ? "none"
                       : d.medium == Medium::Protected ? "protected"
                                                       : "present");
    add("mode %s\n", ModeText(d.mode));
    add("position %.6f\n", static_cast<double>(d.position) / kTapeRate);
    add("taken %.6f\n", taken);
    if (d.cassette) {
        for (const Tape::Extent& e : d.tape.Recordings()) {
            if (e.file.empty()) continue;
            add("recording %.6f %.6f %s\n", static_cast<double>(e.from) / kTapeRate,
                static_cast<double>(e.to) / kTapeRate, e.file.c_str());
        }
    }
    const std::string temporary = Path() + ".tmp" + std::to_string(getpid());
    const int fd = RealOpen(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const bool written =
        fd >= 0 && RealWrite(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0) RealClose(fd);
    if (!written || std::rename(temporary.c_str(), Path().c_str()) != 0) {
        std::fprintf(stderr, "fwemu: cannot write FWEMU_STATE %s\n", Path().c_str());
        unlink(temporary.c_str());
        return;
    }
    Identity(d.file_inode, d.file_mtime_ns);
    d.base_mode = d.mode;
    d.base_position = d.position;
    d.base_taken = taken;
    d.dirty = false;
    d.recorded = false;
    d.saved_at = NowSeconds();
    Trace("state saved mode=%s position=%.3f", ModeText(d.mode),
          static_cast<double>(d.position) / kTapeRate);
}

// Another process replaced the file: its deck wins, but a recording of ours in progress is laid
// on its tape and goes on if the deck still records.
void Reload() {
    Deck& d = TheDeck();
    Saved s;
    if (!Parse(s)) return;
    const bool was_recording = d.cassette && d.tape.recording();
    Tape::Extent mine;
    if (was_recording) {
        d.tape.EndRecording(d.position);
        mine = d.tape.Recordings().back();
    }
    if (!Apply(s)) return;
    Identity(d.file_inode, d.file_mtime_ns);
    if (was_recording) {
        bool known = false;
        for (const Tape::Extent& e : s.recordings) known = known || e.file == mine.file;
        if (!known) d.tape.AddRecording(mine);
        if (d.mode == Mode::Record) d.tape.BeginRecording(d.position, RecordingFile());
        d.dirty = true;
    }
}

void SaveAtExit() {
    std::lock_guard lock(Lock());
    const Deck& d = TheDeck();
    if (d.dirty || d.recorded || Diverged()) Save();
}

}  // namespace

void StateLoad() {
    if (Path().empty()) return;
    Deck& d = TheDeck();
    Saved s;
    if (!(Identity(d.file_inode, d.file_mtime_ns) && Parse(s) && Apply(s))) {
        d.base_mode = d.mode;
        d.base_position = d.position;
        d.base_taken = WallNow();
    }
    std::atexit(SaveAtExit);
}

void StateRefresh() {
    if (Path().empty()) return;
    Deck& d = TheDeck();
    ino_t inode = 0;
    int64_t mtime = -1;
    if (Identity(inode, mtime) && (inode != d.file_inode || mtime != d.file_mtime_ns)) Reload();
}

void StateTick(double now) {
    if (Path().empty()) return;
    Deck& d = TheDeck();
    if (now - d.checked_at >= 0.1) {
        d.checked_at = now;
        StateRefresh();
    }
    if (d.dirty || (d.recorded && now - d.saved_at >= 1.0) ||
        (now - d.saved_at >= 0.5 && Diverged())) {
        Save();
    }
}

std::string RecordingFile() {
    if (Path().empty()) return "";
    Deck& d = TheDeck();
    return Path() + ".rec" + std::to_string(getpid()) + "-" + std::to_string(++d.recordings);
}

}  // namespace fwemu
