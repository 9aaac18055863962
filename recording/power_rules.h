// The computer's power actions after a reservation (shut down, suspend, hibernate, switch off),
// behind an interface so that tests record them and a demo only prints them; and the rules for
// the deck's power around a recording's stop.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "recording/reservation_record.h"

namespace tessaline {

struct PowerResult {
    bool done = true;
    std::string reason;  // why the system refused, when it did
};

class PowerActions {
  public:
    virtual ~PowerActions() = default;
    virtual PowerResult Run(PowerAction action) = 0;
};

// Writes "power action: NAME (dry run)" and does nothing else.
class DryRunPowerActions final : public PowerActions {
  public:
    explicit DryRunPowerActions(std::FILE* out = stderr) : out_(out) {}
    PowerResult Run(PowerAction action) override;

  private:
    std::FILE* out_;
};

// The value of TESSALINE_POWER that asks for the dry run.
bool PowerDryRunRequested(const char* tessaline_power);

inline constexpr int kPowerActionDelayMs = 3000;

// The last step of every stop: with an action pending, wait three seconds (PauseMs: the window
// thread, and with it both ticks, waits), clear the pending action, then run it. The result is not
// acted on; a refusal is written as one line to err, so that a person can find out why the
// computer stayed on. Returns the action run (None when nothing was pending).
PowerAction RunAfterAction(int& after_action, PowerActions& actions, std::FILE* err = stderr);

// Whether a stop switches the deck off: a reservation's stop unless the options keep it on or
// another reservation is about to begin (FollowOnReservationWaiting); any other stop when the
// option asks for it.
struct DeckPowerAtStop {
    bool reserve_recording = false;
    bool follow_on_waiting = false;
    bool reserve_power_off = false;  // set: the deck stays on after a reservation
    bool power_off = false;          // set: the deck goes off after any other recording
};
bool SwitchDeckOffAtStop(const DeckPowerAtStop& in);

}  // namespace tessaline
