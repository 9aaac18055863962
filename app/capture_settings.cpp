#include "app/capture_settings.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <system_error>

namespace tessaline {

namespace key = settings_key;

TCaptureSettings DefaultCaptureSettings(const std::string& default_folder) {
    TCaptureSettings s;
    s.SaveDir = default_folder;
    s.OutDir = default_folder;
    return s;
}

std::string QuoteLastFile(std::string_view name) {
    std::string out = "!";
    for (char c : name) {
        out += c;
        if (c == '!') out += '!';
    }
    out += '!';
    return out;
}

std::string UnquoteLastFile(std::string_view stored) {
    if (stored.empty() || stored.front() != '!') return {};
    std::string out;
    for (size_t i = 1; i < stored.size(); ++i) {
        if (stored[i] != '!') {
            out += stored[i];
        } else if (i + 1 < stored.size() && stored[i + 1] == '!') {
            out += '!';
            ++i;
        } else {
            break;  // the closing mark; anything behind it is ignored
        }
    }
    return out;
}

TCaptureSettings ReadCaptureSettings(const IniFile& ini, const std::string& default_folder) {
    const TCaptureSettings d = DefaultCaptureSettings(default_folder);
    const auto sec = kSettingsSection;
    auto integer = [&](std::string_view k, int def) { return ReadProfileInt(ini, sec, k, def); };
    auto boolean = [&](std::string_view k, bool def) { return ReadProfileBool(ini, sec, k, def); };
    auto text = [&](std::string_view k, const std::string& def) {
        return ReadProfileString(ini, sec, k, def);
    };

    TCaptureSettings s = d;
    s.DeviceIndex = std::min(integer(key::kDevice, d.DeviceIndex), kMaxDeviceIndex);
    s.RecordMinutes = integer(key::kLastTime, d.RecordMinutes);
    s.UseFileName = boolean(key::kFileName, d.UseFileName);
    s.LastFile = UnquoteLastFile(text(key::kLastFile, ""));
    s.NameFormat = text(key::kNameFormat, d.NameFormat);
    s.SaveDir = text(key::kSaveDir, d.SaveDir);
    s.TrimPacket = boolean(key::kTrimPacket, d.TrimPacket);
    s.MaxReserve = std::clamp(integer(key::kMaxReserve, d.MaxReserve), 0, kMaxReserveLimit);
    s.WriteReport = boolean(key::kReport, d.WriteReport);
    s.PowerOn = boolean(key::kPowerOn, d.PowerOn);
    s.PowerOff = boolean(key::kPowerOff, d.PowerOff);
    // Negated in memory; a hand-written INT_MIN cannot be negated and counts as not a number.
    const int power_on_sec = integer(key::kPowerOnSec, -d.PowerOnSec);
    s.PowerOnSec = power_on_sec == INT32_MIN ? d.PowerOnSec : -power_on_sec;
    s.ConvPES = boolean(key::kConvPES, d.ConvPES);
    s.CheckPrivateStream = boolean(key::kLpcm, d.CheckPrivateStream);
    s.CheckPts = !boolean(key::kFull, !d.CheckPts);
    s.SyncByte = boolean(key::kSyncByte, d.SyncByte);
    s.Ts188Ext = text(key::kTs188Ext, d.Ts188Ext);
    s.Ts192Ext = text(key::kTs192Ext, d.Ts192Ext);
    s.PsExt = text(key::kPsExt, d.PsExt);
    s.CheckFileExists = boolean(key::kFileExists, d.CheckFileExists);
    s.AddDelay = boolean(key::kAddDelay, d.AddDelay);
    s.TaskTray = boolean(key::kTaskTray, d.TaskTray);
    s.ReservePowerOn = boolean(key::kReservePowerOn, d.ReservePowerOn);
    s.ReservePowerOff = boolean(key::kReservePowerOff, d.ReservePowerOff);
    s.AddDate = boolean(key::kAddDate, d.AddDate);
    s.DateFormat = text(key::kDateFormat, d.DateFormat);
    s.OutDir = text(key::kOutDir, d.OutDir);
    s.FixedOutFolder = boolean(key::kFolder, d.FixedOutFolder);
    s.RecStartWait = text(key::kWait, d.RecStartWait);
    return s;
}

void WriteCaptureSettings(IniFile& ini, const TCaptureSettings& s, bool keep_stored_device) {
    const auto sec = kSettingsSection;
    auto integer = [&](std::string_view k, int v) { WriteProfileInt(ini, sec, k, v); };
    auto boolean = [&](std::string_view k, bool v) { WriteProfileBool(ini, sec, k, v); };
    auto text = [&](std::string_view k, const std::string& v) { ini.Set(sec, k, v); };

    if (!keep_stored_device || !ini.Get(sec, key::kDevice)) integer(key::kDevice, s.DeviceIndex);
    boolean(key::kFileName, s.UseFileName);
    text(key::kSaveDir, s.SaveDir);
    boolean(key::kTrimPacket, s.TrimPacket);
    boolean(key::kFull, !s.CheckPts);
    boolean(key::kLpcm, s.CheckPrivateStream);
    integer(key::kLastTime, s.RecordMinutes);
    text(key::kLastFile, QuoteLastFile(s.LastFile));
    boolean(key::kConvPES, s.ConvPES);
    boolean(key::kPowerOn, s.PowerOn);
    boolean(key::kPowerOff, s.PowerOff);
    boolean(key::kFileExists, s.CheckFileExists);
    boolean(key::kAddDelay, s.AddDelay);
    boolean(key::kAddDate, s.AddDate);
    text(key::kDateFormat, s.DateFormat);
    boolean(key::kSyncByte, s.SyncByte);
    text(key::kPsExt, s.PsExt);
    text(key::kTs188Ext, s.Ts188Ext);
    text(key::kTs192Ext, s.Ts192Ext);
    text(key::kNameFormat, s.NameFormat);
    boolean(key::kFolder, s.FixedOutFolder);
    boolean(key::kTaskTray, s.TaskTray);
    boolean(key::kReservePowerOff, s.ReservePowerOff);
    boolean(key::kReservePowerOn, s.ReservePowerOn);
    text(key::kOutDir, s.OutDir);
    text(key::kWait, s.RecStartWait);
}

namespace {

// Folders of installed programs belong to the package manager; root may write there, but settings
// left beside /usr/bin/tessaline would be a stray file in it.
bool IsSystemProgramFolder(const std::filesystem::path& folder) {
    const std::string text = folder.lexically_normal().string();
    for (std::string_view root : {"/usr", "/bin", "/sbin"}) {
        if (text == root ||
            (text.rfind(root, 0) == 0 && text.size() > root.size() && text[root.size()] == '/')) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::filesystem::path ResolveSettingsPath(const SettingsPathInputs& in) {
    if (in.ini_override && *in.ini_override) return in.ini_override;
    if (!in.executable.empty()) {
        const std::filesystem::path folder = in.executable.parent_path();
        if (!folder.empty() && !IsSystemProgramFolder(folder) &&
            ::access(folder.c_str(), W_OK) == 0) {
            return std::filesystem::path(in.executable.string() + ".INI");
        }
    }
    std::filesystem::path config;
    if (in.xdg_config_home && *in.xdg_config_home) {
        config = in.xdg_config_home;
    } else if (in.home && *in.home) {
        config = std::filesystem::path(in.home) / ".config";
    } else {
        config = std::filesystem::temp_directory_path();
    }
    return config / "tessaline" / "tessaline.INI";
}

std::filesystem::path SettingsPathForThisProcess() {
    std::error_code ec;
    SettingsPathInputs in;
    in.executable = std::filesystem::read_symlink("/proc/self/exe", ec);
    in.ini_override = std::getenv("TESSALINE_INI");
    in.xdg_config_home = std::getenv("XDG_CONFIG_HOME");
    in.home = std::getenv("HOME");
    return ResolveSettingsPath(in);
}

RecordingOptions RecordingOptionsFrom(const TCaptureSettings& s) {
    RecordingOptions o;
    o.SaveDir = s.SaveDir;
    o.NameFormat = s.NameFormat;
    o.AddDate = s.AddDate;
    o.DateFormat = s.DateFormat;
    o.PsExt = s.PsExt;
    o.Ts188Ext = s.Ts188Ext;
    o.Ts192Ext = s.Ts192Ext;
    o.CheckFileExists = s.CheckFileExists;
    o.PowerOn = s.PowerOn;
    o.PowerOff = s.PowerOff;
    o.ReservePowerOff = s.ReservePowerOff;
    o.AddDelay = s.AddDelay;
    o.DurationText = std::to_string(s.RecordMinutes);
    o.UseFileName = s.UseFileName;
    o.FileName = s.LastFile;
    o.Pes = s.ConvPES;
    o.Trim = s.TrimPacket;
    o.Report = s.WriteReport;
    return o;
}

}  // namespace tessaline
