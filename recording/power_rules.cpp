#include "recording/power_rules.h"

#include <cstring>
#include <string_view>

#include "capture/pause.h"

namespace tessaline {

PowerResult DryRunPowerActions::Run(PowerAction action) {
    const std::string_view name = PowerActionName(action);
    std::fprintf(out_, "power action: %.*s (dry run)\n", static_cast<int>(name.size()),
                 name.data());
    std::fflush(out_);
    return {};
}

bool PowerDryRunRequested(const char* tessaline_power) {
    return tessaline_power && std::strcmp(tessaline_power, "dry-run") == 0;
}

PowerAction RunAfterAction(int& after_action, PowerActions& actions, std::FILE* err) {
    if (after_action < 1) return PowerAction::None;
    const int pending = after_action;
    PauseMs(kPowerActionDelayMs);
    after_action = 0;
    if (pending > static_cast<int>(PowerAction::PowerOff)) return PowerAction::None;
    const auto action = static_cast<PowerAction>(pending);
    const PowerResult result = actions.Run(action);
    if (!result.done && err) {
        const std::string_view name = PowerActionName(action);
        std::fprintf(err, "tessaline: the system refused the power action %.*s: %s\n",
                     static_cast<int>(name.size()), name.data(), result.reason.c_str());
        std::fflush(err);
    }
    return action;
}

bool SwitchDeckOffAtStop(const DeckPowerAtStop& in) {
    if (in.reserve_recording) return !in.follow_on_waiting && !in.reserve_power_off;
    return in.power_off;
}

}  // namespace tessaline
