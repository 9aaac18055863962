// The computer's power actions through systemd-logind on the system bus: shutdown and power off
// call PowerOff, standby Suspend, hibernate Hibernate, each without asking the user (not
// interactive). A refusal (no permission, no hibernation) comes back as the bus error's text.
#pragma once

#include <memory>

#include "recording/power_rules.h"

namespace tessaline {

class LogindPowerActions final : public PowerActions {
  public:
    PowerResult Run(PowerAction action) override;
};

// The logind method an action calls ("PowerOff", "Suspend", "Hibernate"; empty for none).
const char* LogindMethod(PowerAction action);

// The power actions of this process: the dry run when TESSALINE_POWER is "dry-run", else logind.
std::unique_ptr<PowerActions> CreateSystemPowerActions();

}  // namespace tessaline
