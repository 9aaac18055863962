#include "tools/cli_common.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/capture_settings.h"
#include "stream/stream_statistics.h"

namespace tessaline::cli {

namespace {
volatile std::sig_atomic_t g_stop_signal = 0;

extern "C" void OnStopSignal(int sig) {
    g_stop_signal = sig;
    std::signal(sig, SIG_DFL);
}
}  // namespace

StopSignals::StopSignals() {
    g_stop_signal = 0;
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &old_int_);
    sigaction(SIGTERM, &action, &old_term_);
}

StopSignals::~StopSignals() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
}

bool StopSignals::raised() const {
    return g_stop_signal != 0;
}

std::optional<uint16_t> ParseHexPid(const std::string& text) {
    std::string t = text;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
    if (t.empty() || t.size() > 4) return std::nullopt;
    char* end = nullptr;
    const unsigned long v = std::strtoul(t.c_str(), &end, 16);
    if (*end != '\0' || v > 0x1FFF) return std::nullopt;
    return static_cast<uint16_t>(v);
}

std::optional<long> ParseCount(const std::string& text) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || v < 0) return std::nullopt;
    return v;
}

std::string FormatPid(uint32_t pid) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%04X", pid);
    return b;
}

std::string StatisticsJson(const TStreamStatistics& s) {
    char b[1024];
    std::snprintf(b, sizeof b,
                  "{\"video_pid\":%u,\"audio_pid\":%u,\"video_width\":%u,\"video_height\":%u,"
                  "\"aspect\":%u,\"frame_rate\":%.3f,\"video_bit_rate\":%u,\"audio_layer\":%u,"
                  "\"audio_bit_rate\":%u,\"audio_frequency\":%u,\"first_video_pts\":%" PRIu64
                  ",\"last_video_pts\":%" PRIu64 ",\"first_audio_pts\":%" PRIu64
                  ",\"last_audio_pts\":%" PRIu64 ",\"bytes_read\":%" PRId64
                  ",\"file_size\":%" PRId64 ",\"write_failures\":%u}",
                  s.VideoPid.load(), s.AudioPid.load(), s.VideoWidth.load(), s.VideoHeight.load(),
                  s.VideoAspect.load(), s.VideoFrameRate.load(), s.VideoBitRate.load(),
                  s.AudioLayer.load(), s.AudioBitRate.load(), s.AudioFrequency.load(),
                  s.FirstVideoPts.load(), s.LastVideoPts.load(), s.FirstAudioPts.load(),
                  s.LastAudioPts.load(), s.BytesRead.load(), s.FileSize.load(),
                  s.WriteFailures.load());
    return b;
}

std::string StatisticsText(const TStreamStatistics& s) {
    std::string out;
    char b[256];
    if (s.VideoValid != 0) {
        std::snprintf(b, sizeof b, "  video  %ux%u  aspect %.2f  %.3f fps  %.2f Mbit/s\n",
                      s.VideoWidth.load(), s.VideoHeight.load(), s.VideoAspect / 100.0,
                      s.VideoFrameRate.load(), s.VideoBitRate / 1e6);
        out += b;
    } else {
        out += "  video  none found\n";
    }
    if (s.AudioValid != 0) {
        static const char* const kLayer[] = {"AAC/AC-3", "Layer III", "Layer II", "Layer I"};
        std::snprintf(b, sizeof b, "  audio  %s  %u Hz  %u kbit/s\n", kLayer[s.AudioLayer & 3],
                      s.AudioFrequency.load(), s.AudioBitRate / 1000);
        out += b;
    } else {
        out += "  audio  none found\n";
    }
    const double v = (double(s.LastVideoPts) - double(s.FirstVideoPts)) / 90000.0;
    const double a = (double(s.LastAudioPts) - double(s.FirstAudioPts)) / 90000.0;
    const double delay_ms = (double(s.FirstAudioPts) - double(s.FirstVideoPts)) / 90.0;
    std::snprintf(b, sizeof b, "  pts    video %.3f s  audio %.3f s  delay %.0f ms\n", v, a,
                  s.FirstVideoPts != 0 && s.FirstAudioPts != 0 ? delay_ms : 0.0);
    out += b;
    return out;
}

bool IsTerminal(int fd) {
    return ::isatty(fd) == 1;
}

bool OptionCursor::Next() {
    if (started_) ++i_;
    started_ = true;
    if (i_ >= args_.size()) return false;
    name_ = args_[i_];
    inline_.reset();
    if (const size_t eq = name_.find('='); name_.starts_with("--") && eq != std::string::npos) {
        inline_ = name_.substr(eq + 1);
        name_.resize(eq);
    }
    return true;
}

std::optional<std::string> OptionCursor::Value() {
    if (inline_) return inline_;
    if (i_ + 1 >= args_.size()) return std::nullopt;
    return args_[++i_];
}

std::optional<long> OptionCursor::Count() {
    const auto text = Value();
    return text ? ParseCount(*text) : std::nullopt;
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "tessaline-cli: %s\nTry 'tessaline-cli --help'.\n", message.c_str());
    return kExitUsage;
}

std::filesystem::path WindowSettingsPath() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    const std::filesystem::path dir = self.parent_path();
    std::filesystem::path window = dir / "tessaline";
    for (const auto& candidate : {dir / "tessaline", dir / ".." / "app" / "tessaline"}) {
        if (std::filesystem::exists(candidate, ec)) {
            window = std::filesystem::weakly_canonical(candidate, ec);
            break;
        }
    }
    SettingsPathInputs in;
    in.executable = window;
    in.ini_override = std::getenv("TESSALINE_INI");
    in.xdg_config_home = std::getenv("XDG_CONFIG_HOME");
    in.home = std::getenv("HOME");
    return ResolveSettingsPath(in);
}

bool JapaneseLocale() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) return std::strncmp(value, "ja", 2) == 0;
    }
    return false;
}

}  // namespace tessaline::cli
