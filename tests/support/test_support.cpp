#include "tests/support/test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "stream/ts_format.h"

namespace fs = std::filesystem;

namespace tessaline::test {

fs::path SamplePath(const std::string& name) {
    return fs::path(TESSALINE_DATA_DIR) / name;
}

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

ScopedEnv::ScopedEnv(std::vector<std::string> names) {
    for (std::string& name : names) {
        const char* value = std::getenv(name.c_str());
        saved_.emplace_back(std::move(name),
                            value ? std::optional<std::string>(value) : std::nullopt);
    }
}

ScopedEnv::~ScopedEnv() {
    for (const auto& [name, value] : saved_) {
        if (value) {
            ::setenv(name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }
    ::tzset();
}

TempDir::TempDir() {
    std::string templ = (fs::temp_directory_path() / "tessaline-test-XXXXXX").string();
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

Bytes MakeTsPacket(const TsPacketSpec& spec, const Bytes& payload) {
    Bytes p(188, 0xFF);
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>((spec.unit_start ? 0x40 : 0) | ((spec.pid >> 8) & 0x1F));
    p[2] = static_cast<uint8_t>(spec.pid);
    uint8_t afc = spec.has_payload ? 0x10 : 0;
    if (spec.adaptation_length >= 0) afc |= 0x20;
    p[3] = static_cast<uint8_t>(afc | (spec.continuity & 0x0F));
    size_t pos = 4;
    if (spec.adaptation_length >= 0) {
        p[4] = static_cast<uint8_t>(spec.adaptation_length);
        if (spec.adaptation_length > 0 && spec.adaptation_length <= 183) p[5] = 0x00;
        pos = 5 + static_cast<size_t>(std::min(spec.adaptation_length, 183));
    }
    for (size_t i = 0; i < payload.size() && pos + i < 188; ++i) p[pos + i] = payload[i];
    return p;
}

Bytes MakePcrPacket(uint16_t pid, uint8_t continuity, uint64_t base_90k, const Bytes& payload) {
    TsPacketSpec spec;
    spec.pid = pid;
    spec.continuity = continuity;
    spec.adaptation_length = 7;
    Bytes p = MakeTsPacket(spec, payload);
    p[5] = 0x10;  // PCR flag
    p[6] = static_cast<uint8_t>(base_90k >> 25);
    p[7] = static_cast<uint8_t>(base_90k >> 17);
    p[8] = static_cast<uint8_t>(base_90k >> 9);
    p[9] = static_cast<uint8_t>(base_90k >> 1);
    p[10] = static_cast<uint8_t>(((base_90k & 1) << 7) | 0x7E);
    p[11] = 0;
    return p;
}

Bytes Packetise(const Bytes& pes, uint16_t pid, uint8_t* continuity) {
    Bytes out;
    uint8_t cc = continuity ? *continuity : 0;
    size_t pos = 0;
    bool first = true;
    while (pos < pes.size()) {
        const size_t left = pes.size() - pos;
        TsPacketSpec spec;
        spec.pid = pid;
        spec.unit_start = first;
        spec.continuity = cc++;
        size_t take = std::min<size_t>(184, left);
        if (left < 184) spec.adaptation_length = static_cast<int>(183 - left);
        Bytes payload(pes.begin() + static_cast<long>(pos),
                      pes.begin() + static_cast<long>(pos + take));
        Append(out, MakeTsPacket(spec, payload));
        pos += take;
        first = false;
    }
    if (continuity) *continuity = cc;
    return out;
}

Bytes MakePes(uint8_t stream_id, int64_t pts, const Bytes& payload, int length_field) {
    Bytes pes = {0x00, 0x00, 0x01, stream_id, 0, 0, 0x80, 0x00, 0x00};
    if (pts >= 0) {
        pes[7] = 0x80;
        pes[8] = 5;
        uint8_t ts[5];
        EncodeTimestamp(ts, static_cast<uint64_t>(pts));
        pes.insert(pes.end(), ts, ts + 5);
    }
    Append(pes, payload);
    const int length = length_field >= 0 ? length_field : static_cast<int>(pes.size() - 6);
    pes[4] = static_cast<uint8_t>(length >> 8);
    pes[5] = static_cast<uint8_t>(length);
    return pes;
}

Bytes MakeSequenceHeader(int width, int height, int aspect_code, int frame_rate_code,
                         uint32_t bit_rate_400) {
    Bytes b = {0x00, 0x00, 0x01, 0xB3};
    b.push_back(static_cast<uint8_t>(width >> 4));
    b.push_back(static_cast<uint8_t>(((width & 0x0F) << 4) | ((height >> 8) & 0x0F)));
    b.push_back(static_cast<uint8_t>(height));
    b.push_back(static_cast<uint8_t>((aspect_code << 4) | frame_rate_code));
    b.push_back(static_cast<uint8_t>(bit_rate_400 >> 10));
    b.push_back(static_cast<uint8_t>(bit_rate_400 >> 2));
    b.push_back(static_cast<uint8_t>(((bit_rate_400 & 0x03) << 6) | 0x20));  // marker
    b.push_back(0x00);
    for (int i = 0; i < 8; ++i) b.push_back(0x00);  // what follows in a real stream
    return b;
}

Bytes MakeMp2Frame(int bitrate_index, int sampling_code, int frame_bytes) {
    Bytes b = {0xFF, 0xFD, static_cast<uint8_t>((bitrate_index << 4) | (sampling_code << 2)), 0x44};
    while (static_cast<int>(b.size()) < frame_bytes) b.push_back(0x55);
    return b;
}

Bytes ToSourcePackets(const Bytes& ts188) {
    Bytes out;
    out.reserve(ts188.size() / 188 * 192);
    uint32_t ats = 0;
    for (size_t pos = 0; pos + 188 <= ts188.size(); pos += 188) {
        out.push_back(static_cast<uint8_t>((ats >> 24) & 0x3F));
        out.push_back(static_cast<uint8_t>(ats >> 16));
        out.push_back(static_cast<uint8_t>(ats >> 8));
        out.push_back(static_cast<uint8_t>(ats));
        out.insert(out.end(), ts188.begin() + static_cast<long>(pos),
                   ts188.begin() + static_cast<long>(pos + 188));
        ats += 1000;
    }
    return out;
}

void Append(Bytes& to, const Bytes& from) {
    to.insert(to.end(), from.begin(), from.end());
}

std::vector<Bytes> RandomCuts(const Bytes& bytes, std::mt19937& rng, int max_piece) {
    std::uniform_int_distribution<int> size(1, max_piece);
    std::vector<Bytes> pieces;
    size_t pos = 0;
    while (pos < bytes.size()) {
        const size_t n = std::min<size_t>(static_cast<size_t>(size(rng)), bytes.size() - pos);
        pieces.emplace_back(bytes.begin() + static_cast<long>(pos),
                            bytes.begin() + static_cast<long>(pos + n));
        pos += n;
    }
    return pieces;
}

CommandResult RunCommand(const std::string& command) {
    CommandResult r;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return r;
    std::array<char, 4096> chunk{};
    size_t n;
    while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) r.output.append(chunk.data(), n);
    const int status = pclose(pipe);
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

bool HaveTool(const std::string& name) {
    return RunCommand("command -v " + name + " >/dev/null").exit_code == 0;
}

std::string ShellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

namespace {

// Parses ffprobe's "-of flat" lines: streams.stream.0.codec_name="mpeg2video".
std::string FlatValue(const std::string& value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        return value.substr(1, value.size() - 2);
    return value;
}

double ToDouble(const std::string& s) {
    try {
        return std::stod(s);
    } catch (...) {
        return 0.0;
    }
}

}  // namespace

const ProbedStream* ProbedFile::Find(const std::string& codec_type) const {
    for (const auto& s : streams)
        if (s.codec_type == codec_type) return &s;
    return nullptr;
}

std::optional<ProbedFile> Probe(const fs::path& path) {
    const CommandResult r = RunCommand("ffprobe -v error -of flat -show_format -show_streams " +
                                       ShellQuote(path.string()));
    if (r.exit_code != 0) return std::nullopt;
    ProbedFile f;
    std::istringstream lines(r.output);
    std::string line;
    while (std::getline(lines, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const std::string value = FlatValue(line.substr(eq + 1));
        if (key == "format.format_name") f.format_name = value;
        if (key == "format.duration") f.duration = ToDouble(value);
        const std::string prefix = "streams.stream.";
        if (key.rfind(prefix, 0) != 0) continue;
        const auto dot = key.find('.', prefix.size());
        const size_t index = std::stoul(key.substr(prefix.size(), dot - prefix.size()));
        if (f.streams.size() <= index) f.streams.resize(index + 1);
        ProbedStream& s = f.streams[index];
        const std::string field = key.substr(dot + 1);
        if (field == "codec_type")
            s.codec_type = value;
        else if (field == "codec_name")
            s.codec_name = value;
        else if (field == "width")
            s.width = std::atoi(value.c_str());
        else if (field == "height")
            s.height = std::atoi(value.c_str());
        else if (field == "r_frame_rate")
            s.frame_rate = value;
        else if (field == "display_aspect_ratio")
            s.display_aspect_ratio = value;
        else if (field == "sample_rate")
            s.sample_rate = std::atoi(value.c_str());
        else if (field == "duration")
            s.duration = ToDouble(value);
        else if (field == "start_time")
            s.start_time = ToDouble(value);
        else if (field == "bit_rate")
            s.bit_rate = std::atol(value.c_str());
    }
    return f;
}

PsReport RunPsReport(const fs::path& path) {
    PsReport r;
    const CommandResult c = RunCommand("psreport " + ShellQuote(path.string()));
    r.output = c.output;
    // psreport reports damage with lines starting "!!!" or "###" and still exits 0.
    bool complaint = false;
    std::istringstream lines(c.output);
    std::string line;
    auto count_after = [&](const std::string& prefix) -> long {
        if (line.rfind(prefix, 0) != 0) return -1;
        const auto colon = line.find(':');
        return std::atol(line.c_str() + colon + 1);
    };
    while (std::getline(lines, line)) {
        if (line.rfind("!!!", 0) == 0 || line.rfind("###", 0) == 0) complaint = true;
        if (long n = count_after("Packets (total):"); n >= 0) r.packets = n;
        if (long n = count_after("Packs:"); n >= 0) r.packs = n;
        if (line.rfind("Video packets", 0) == 0)
            r.video_packets += std::atol(line.c_str() + line.find("):") + 2);
        if (line.rfind("Audio packets", 0) == 0)
            r.audio_packets += std::atol(line.c_str() + line.find("):") + 2);
    }
    r.clean = c.exit_code == 0 && !complaint && r.packets > 0;
    return r;
}

double PacketDuration(const fs::path& path, const std::string& codec_type) {
    const std::string selector = codec_type == "video" ? "v:0" : "a:0";
    const CommandResult r = RunCommand("ffprobe -v error -select_streams " + selector +
                                       " -show_entries packet=pts_time,duration_time -of csv=p=0 " +
                                       ShellQuote(path.string()));
    if (r.exit_code != 0) return -1.0;
    double first = -1, last_end = -1;
    std::istringstream lines(r.output);
    std::string line;
    while (std::getline(lines, line)) {
        const auto comma = line.find(',');
        if (comma == std::string::npos) continue;
        const std::string pts = line.substr(0, comma);
        if (pts == "N/A" || pts.empty()) continue;
        const double t = ToDouble(pts);
        const double d = ToDouble(line.substr(comma + 1));
        if (first < 0 || t < first) first = t;
        if (t + d > last_end) last_end = t + d;
    }
    return first < 0 ? 0.0 : last_end - first;
}

}  // namespace tessaline::test
