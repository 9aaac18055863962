// Helpers for the tests: the bundled samples, temporary files, building TS/PES bytes by hand, and
// running outside tools (ffprobe, psreport) as oracles.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace tessaline::test {

using Bytes = std::vector<uint8_t>;

std::filesystem::path SamplePath(const std::string& name);
Bytes ReadFile(const std::filesystem::path& path);
// A text file's contents; empty when it cannot be read (a log a failed run never wrote).
std::string ReadText(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const Bytes& bytes);

// Environment variables put back as they were (set or unset) when the object goes; the time zone
// is read again both ways, for tests that change TZ.
class ScopedEnv {
  public:
    explicit ScopedEnv(std::vector<std::string> names);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// A directory removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// ---- Building streams by hand ---------------------------------------------------------------
struct TsPacketSpec {
    uint16_t pid = 0x100;
    bool unit_start = false;
    int adaptation_length = -1;  // -1: no adaptation field
    bool has_payload = true;
    uint8_t continuity = 0;
};

// One 188-byte packet; payload is padded with 0xFF (or cut) to what the packet holds.
Bytes MakeTsPacket(const TsPacketSpec& spec, const Bytes& payload);

// A packet whose adaptation field carries a PCR of base_90k (extension 0), then payload.
Bytes MakePcrPacket(uint16_t pid, uint8_t continuity, uint64_t base_90k, const Bytes& payload);

// Cuts a PES into TS packets of one PID, the last one padded with an adaptation field.
Bytes Packetise(const Bytes& pes, uint16_t pid, uint8_t* continuity = nullptr);

// A PES with an MPEG-2 header; pts < 0 means no PTS. length_field < 0: computed from the size.
Bytes MakePes(uint8_t stream_id, int64_t pts, const Bytes& payload, int length_field = -1);

// An MPEG-2 sequence header: 00 00 01 B3, the 8 bytes of fields, and 8 bytes that follow it.
Bytes MakeSequenceHeader(int width, int height, int aspect_code, int frame_rate_code,
                         uint32_t bit_rate_400);
// An MPEG-1 Layer II frame header (4 bytes) followed by filler up to frame_bytes.
Bytes MakeMp2Frame(int bitrate_index, int sampling_code, int frame_bytes = 0);

// Wraps 188-byte packets into 192-byte source packets.
Bytes ToSourcePackets(const Bytes& ts188);

void Append(Bytes& to, const Bytes& from);

// Cuts bytes into pieces of random sizes in [1, max_piece].
std::vector<Bytes> RandomCuts(const Bytes& bytes, std::mt19937& rng, int max_piece);

// ---- Outside tools ---------------------------------------------------------------------------
struct CommandResult {
    int exit_code = -1;
    std::string output;  // stdout and stderr together
};
CommandResult RunCommand(const std::string& command);
// Whether a tool's output holds `part`.
bool Contains(const std::string& text, const std::string& part);
bool HaveTool(const std::string& name);
std::string ShellQuote(const std::string& s);

struct ProbedStream {
    std::string codec_type;
    std::string codec_name;
    int width = 0;
    int height = 0;
    std::string frame_rate;  // r_frame_rate, e.g. 30000/1001
    std::string display_aspect_ratio;
    int sample_rate = 0;
    double duration = 0.0;
    double start_time = 0.0;
    long bit_rate = 0;  // 0 when ffprobe does not know it
};
struct ProbedFile {
    std::string format_name;
    double duration = 0.0;
    std::vector<ProbedStream> streams;
    const ProbedStream* Find(const std::string& codec_type) const;
};
// ffprobe's view of a file; nullopt when ffprobe cannot read it.
std::optional<ProbedFile> Probe(const std::filesystem::path& path);

// psreport's account of a program stream: whether it parsed without complaint, and the number of
// video and audio packets it counted.
struct PsReport {
    bool clean = false;
    long packets = 0;
    long packs = 0;
    long video_packets = 0;
    long audio_packets = 0;
    std::string output;
};
PsReport RunPsReport(const std::filesystem::path& path);

// Duration of each stream of a file measured from its packets (first to last PTS plus the last
// packet's duration), which is what a player will see regardless of container headers.
double PacketDuration(const std::filesystem::path& path, const std::string& codec_type);

}  // namespace tessaline::test
