// Blocking the calling thread for a while, as the deck commands need between them. Tests and the
// schedule's simulated time replace the sleeper.
#pragma once

namespace tessaline {

class Sleeper {
  public:
    virtual ~Sleeper() = default;
    virtual void SleepMs(int milliseconds) = 0;
};

// Blocks the calling thread for the given time (nothing for a negative time).
void PauseMs(int milliseconds);

// Makes PauseMs use sleeper (nullptr: the real clock again); returns the previous one.
Sleeper* SetPauseSleeper(Sleeper* sleeper) noexcept;

}  // namespace tessaline
