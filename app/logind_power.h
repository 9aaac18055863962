// The computer's power actions through systemd-logind on the system bus: shutdown and power off
// call PowerOff, standby Suspend, hibernate Hibernate, each without asking the user (not
// interactive). The designed program ignores whether the system obeyed; a refusal (no
// permission, no hibernation) is written as one line to standard error, so that a person can find
// out why the computer stayed on.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "recording/power_actions.h"

namespace tessaline {

class LogindPowerActions final : public PowerActions {
  public:
    explicit LogindPowerActions(std::FILE* err = stderr) : err_(err) {}
    void SystemShutdown() override { Call(1); }
    void SystemStandby() override { Call(2); }
    void SystemHibernate() override { Call(3); }
    void SystemPowerOff() override { Call(4); }

  private:
    void Call(int action);
    std::FILE* err_;
};

// The logind method an action (1..4) calls: "PowerOff", "Suspend", "Hibernate"; empty for none.
const char* LogindMethod(int after_action);

// Whether TESSALINE_POWER asks for the dry run ("dry-run").
bool PowerDryRunRequested(const char* tessaline_power);

// The power actions of this process: the dry run when TESSALINE_POWER is "dry-run", else logind.
std::shared_ptr<PowerActions> CreateSystemPowerActions();

}  // namespace tessaline
