// The computer power actions that may follow a reservation's recording, and the interface through
// which recording control asks for them. The schedule's owner supplies the real backend; tests
// record the calls.
#pragma once

#include <string_view>

namespace tessaline {

enum class AfterActionKind { None = 0, Shutdown = 1, Standby = 2, Hibernate = 3, PowerOff = 4 };

class PowerActions {
  public:
    virtual ~PowerActions() = default;
    virtual void SystemShutdown() = 0;
    virtual void SystemStandby() = 0;
    virtual void SystemHibernate() = 0;
    virtual void SystemPowerOff() = 0;
};

// Runs action 1..4 of the reservation's "after" box; 0 and anything else do nothing.
void RunPowerAction(PowerActions& actions, int after_action);

// The name of an action as printed and logged: "shutdown", "standby", "hibernate", "poweroff";
// empty for none.
std::string_view PowerActionName(int after_action);

// Prints "power action: NAME (dry run)" on standard error instead of acting (TESSALINE_POWER=
// dry-run, and the default until a real backend is given).
class DryRunPowerActions final : public PowerActions {
  public:
    void SystemShutdown() override;
    void SystemStandby() override;
    void SystemHibernate() override;
    void SystemPowerOff() override;
};

}  // namespace tessaline
