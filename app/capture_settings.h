// The program's options: the in-memory record, its keys in the settings file with their defaults,
// and the rules for reading and writing them. No Qt here; the window moves the values in and out
// of its controls.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "app/ini_file.h"
#include "recording/recording_control.h"

namespace tessaline {

inline constexpr std::string_view kSettingsSection = "Capture";

// Key names as they appear in the file.
namespace settings_key {
inline constexpr std::string_view kDevice = "Device";
inline constexpr std::string_view kLastTime = "LastTime";
inline constexpr std::string_view kFileName = "FileName";
inline constexpr std::string_view kLastFile = "LastFile";
inline constexpr std::string_view kSaveDir = "SaveDir";
inline constexpr std::string_view kTrimPacket = "TrimPacket";
inline constexpr std::string_view kConvPES = "ConvPES";
inline constexpr std::string_view kFull = "FULL";
inline constexpr std::string_view kLpcm = "LPCM";
inline constexpr std::string_view kPowerOn = "PowerOn";
inline constexpr std::string_view kPowerOff = "PowerOff";
inline constexpr std::string_view kPowerOnSec = "PowerOnSec";
inline constexpr std::string_view kFileExists = "FileExists";
inline constexpr std::string_view kAddDelay = "AddDelay";
inline constexpr std::string_view kAddDate = "AddDate";
inline constexpr std::string_view kDateFormat = "DateFormat";
inline constexpr std::string_view kSyncByte = "SyncByte";
inline constexpr std::string_view kPsExt = "PS_EXT";
inline constexpr std::string_view kTs188Ext = "TS188_EXT";
inline constexpr std::string_view kTs192Ext = "TS192_EXT";
inline constexpr std::string_view kNameFormat = "NameFormat";
inline constexpr std::string_view kFolder = "Folder";
inline constexpr std::string_view kTaskTray = "TaskTray";
inline constexpr std::string_view kReservePowerOff = "ReservePowerOff";
inline constexpr std::string_view kReservePowerOn = "ReservePowerOn";
inline constexpr std::string_view kOutDir = "OutDir";
inline constexpr std::string_view kWait = "Wait";
inline constexpr std::string_view kMaxReserve = "MaxReserve";
// 1: every recording leaves its quality report beside it. Read, never written, so that the
// file stays as designed unless someone puts the key in by hand.
inline constexpr std::string_view kReport = "Report";
// 1: the writing tab verifies what it wrote. Written only once the box was ticked, so that the
// file stays as designed for those who never use it.
inline constexpr std::string_view kWriteVerify = "WriteVerify";
}  // namespace settings_key

inline constexpr int kMaxDeviceIndex = 9;  // the device list holds at most ten entries
// MaxReserve is typed in by hand; bounded so that a stray value cannot make a grid of millions of
// rows or a negative row count.
inline constexpr int kMaxReserveLimit = 999;
// Used when a name format cannot be applied: a literal D, then the date and time digits.
inline constexpr std::string_view kFallbackNameFormat = "\"D\"YYMMDDHHNNSS";

struct TCaptureSettings {
    int DeviceIndex = -1;
    int RecordMinutes = 30;
    bool UseFileName = false;
    std::string LastFile;
    std::string SaveDir;  // the platform's default folder, see DefaultCaptureSettings
    bool TrimPacket = true;
    bool ConvPES = false;
    bool CheckPts = true;  // stored inverted as FULL
    bool CheckPrivateStream = false;
    bool PowerOn = false;
    bool PowerOff = false;
    int PowerOnSec = -2;  // negated: added to a reservation's start to wake the deck early
    bool CheckFileExists = false;
    bool AddDelay = false;
    bool AddDate = false;
    std::string DateFormat = "YYYYMMDD";
    bool SyncByte = true;
    std::string PsExt = ".mpg";
    std::string Ts188Ext = ".mpg";
    std::string Ts192Ext = ".mpg";
    std::string NameFormat = "YYMMDDHHNNSS";
    bool FixedOutFolder = true;
    bool TaskTray = false;
    bool ReservePowerOff = false;
    bool ReservePowerOn = false;
    std::string OutDir;
    std::string RecStartWait = "10000";
    int MaxReserve = 30;
    bool WriteReport = false;
};

// The defaults, with both folders set to default_folder (which should end in a separator).
TCaptureSettings DefaultCaptureSettings(const std::string& default_folder);

// "!" quoting of the last file name, which keeps blanks at either end through the trimming reader:
// "!" + name with every "!" doubled + "!".
std::string QuoteLastFile(std::string_view name);
// The inverse. A value not beginning with "!" is no name at all; text behind the closing "!" is
// ignored; a value whose closing "!" is missing gives everything after the opening one.
std::string UnquoteLastFile(std::string_view stored);

// Every field from the file, with the defaults for what is missing or not a number, the device
// index capped at 9, PowerOnSec negated and FULL inverted. Values are as stored otherwise; the
// effects that the window's option boxes have on each other are the window's business.
TCaptureSettings ReadCaptureSettings(const IniFile& ini, const std::string& default_folder);

// Writes every written key in the fixed order; MaxReserve, PowerOnSec and Report are never
// written, so a value put in by hand survives. All other lines of the file are left as they are.
// keep_stored_device: a "Device" already in the file stays as it is. Used while no device is
// selected (none listed, or the stored one not in today's list: a deck unplugged for one run), so
// that the next run with the deck selects it again.
void WriteCaptureSettings(IniFile& ini, const TCaptureSettings& settings,
                          bool keep_stored_device = false);

// Where the settings live: TESSALINE_INI when set; else "<executable>.INI" when the executable's
// folder is writable (portable use) and not a system program folder (/usr/..., /bin, /sbin); else
// $XDG_CONFIG_HOME/tessaline/tessaline.INI (or
// ~/.config/...).
struct SettingsPathInputs {
    std::filesystem::path executable;
    const char* ini_override = nullptr;  // TESSALINE_INI
    const char* xdg_config_home = nullptr;
    const char* home = nullptr;
};
std::filesystem::path ResolveSettingsPath(const SettingsPathInputs& in);
// The same for this process (executable from /proc/self/exe, variables from the environment).
std::filesystem::path SettingsPathForThisProcess();

// What a recording start takes from the settings as stored. The window overrides the boxes a
// person may have changed since (duration, file name, modes, date format).
RecordingOptions RecordingOptionsFrom(const TCaptureSettings& s);

}  // namespace tessaline
