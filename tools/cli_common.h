// Shared pieces of the command-line tool: exit codes, option parsing, statistics output.
#pragma once

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tessaline {
struct TStreamStatistics;
}

namespace tessaline::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,   // the work failed (a file could not be written, ...)
    kExitUsage = 2,     // bad command line or input that cannot be used
    kExitNoResult = 3,  // the input gave nothing to work with (no stream, no device)
    kExitInterrupted = 130,
};

using Args = std::vector<std::string>;

// Catches SIGINT and SIGTERM while it lives, so that a long command can stop as its STOP button
// does; a second Ctrl-C ends the program at once.
class StopSignals {
  public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    bool raised() const;

  private:
    struct sigaction old_int_ = {};
    struct sigaction old_term_ = {};
};

// Walks a command line option by option: "--name value" and "--name=value" alike.
class OptionCursor {
  public:
    explicit OptionCursor(const Args& args) : args_(args) {}
    // Moves to the next argument; false past the last.
    bool Next();
    const std::string& name() const noexcept { return name_; }  // "--out" of "--out=DIR" too
    const std::string& raw() const { return args_[i_]; }        // the argument as given
    // The option's value: after '=', else the next argument; nullopt when there is none.
    std::optional<std::string> Value();
    // The value as a non-negative decimal number.
    std::optional<long> Count();

  private:
    const Args& args_;
    size_t i_ = 0;
    bool started_ = false;
    std::string name_;
    std::optional<std::string> inline_;
};

// Parses a PID written in hexadecimal, with or without 0x; nullopt when it is not one.
std::optional<uint16_t> ParseHexPid(const std::string& text);
// Parses a non-negative decimal number; nullopt when it is not one.
std::optional<long> ParseCount(const std::string& text);

// The statistics as one JSON object on one line.
std::string StatisticsJson(const TStreamStatistics& s);
// A few lines for people: size, aspect, frame rate, bit rates, time stamps.
std::string StatisticsText(const TStreamStatistics& s);

std::string FormatPid(uint32_t pid);  // 0x0100

bool IsTerminal(int fd);

int Usage(const std::string& message);  // prints to stderr, returns kExitUsage

// The window's settings file: TESSALINE_INI, else the window's own (it sits beside this tool when
// installed, and in ../app in the build tree).
std::filesystem::path WindowSettingsPath();
// Whether the environment's locale is Japanese (LC_ALL, LC_MESSAGES, LANG), as the window decides.
bool JapaneseLocale();

// Commands.
int ScanCommand(const Args& args);
int CheckCommand(const Args& args);
int ProbeCommand(const Args& args);
int RemuxCommand(const Args& args);
int DevicesCommand(const Args& args);
int DeckCommand(const Args& args);
int DeckCheckCommand(const Args& args);
int RecordCommand(const Args& args);
int ArchiveCommand(const Args& args);
int ReservationsCommand(const Args& args);
int ScheduleCommand(const Args& args);
int WriteCommand(const Args& args);
int VerifyCommand(const Args& args);

}  // namespace tessaline::cli
