#include "recording/power_actions.h"

#include <cstdio>

namespace tessaline {

void RunPowerAction(PowerActions& actions, int after_action) {
    switch (static_cast<AfterActionKind>(after_action)) {
        case AfterActionKind::Shutdown:
            actions.SystemShutdown();
            break;
        case AfterActionKind::Standby:
            actions.SystemStandby();
            break;
        case AfterActionKind::Hibernate:
            actions.SystemHibernate();
            break;
        case AfterActionKind::PowerOff:
            actions.SystemPowerOff();
            break;
        default:
            break;
    }
}

std::string_view PowerActionName(int after_action) {
    switch (static_cast<AfterActionKind>(after_action)) {
        case AfterActionKind::Shutdown:
            return "shutdown";
        case AfterActionKind::Standby:
            return "standby";
        case AfterActionKind::Hibernate:
            return "hibernate";
        case AfterActionKind::PowerOff:
            return "poweroff";
        default:
            return {};
    }
}

namespace {
void Print(int action) {
    const std::string_view name = PowerActionName(action);
    std::fprintf(stderr, "power action: %.*s (dry run)\n", static_cast<int>(name.size()),
                 name.data());
}
}  // namespace

void DryRunPowerActions::SystemShutdown() {
    Print(1);
}
void DryRunPowerActions::SystemStandby() {
    Print(2);
}
void DryRunPowerActions::SystemHibernate() {
    Print(3);
}
void DryRunPowerActions::SystemPowerOff() {
    Print(4);
}

}  // namespace tessaline
