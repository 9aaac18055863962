// SPDX-License-Identifier: GPL-3.0-or-later
// Proving a write: before it, where the tape is and whether the files fit; after it, the tape
// wound back to where the write began, played to where it ended, and what the deck sends
// compared with the files as it comes. Qt-free, on whatever thread calls it (never the window's:
// it waits for winds and playback); `tessaline-cli write --verify`, `verify` and the writing tab
// use it.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "capture/deck_driver.h"
#include "capture/deck_transport.h"
#include "capture/tape_compare.h"

namespace tessaline {

// How long a file plays at its own rate (its PCRs, else its video bit rate, else a D-VHS-like
// default); nullopt with the reason when it cannot be read.
std::optional<double> FilePlaySeconds(const std::string& path, std::string& error);

struct VerifiedWritePlan {
    double start_seconds = 0;  // the tape position before the write
    double needed_seconds = 0;
    std::optional<double> tape_seconds;  // when the deck tells
};

// Before a write that is to be verified: the deck must tell where its tape is, and when it also
// tells the tape's length the files (at their own rate, plus the second after record) must fit
// in what is left. False with the reason, with the numbers, in why.
bool PlanVerifiedWrite(DeckDriver& deck, const std::vector<std::string>& files,
                       VerifiedWritePlan& plan, std::string& why);

struct VerifyOutcome {
    std::vector<FileComparison> files;
    // Why the tape could not be played back (or not all of it): every file not compared says it.
    std::string failure;
    bool all_verified() const;
};

// "2 of 2 files verified", "1 of 2 files verified, 1 differs".
std::string VerifySummary(const VerifyOutcome& outcome);
// {"files":[...],"verified":1,"differs":1,"not_read_back":0,"failure":null}
std::string VerifyJson(const VerifyOutcome& outcome);

class TapeVerifier {
  public:
    using Note = std::function<void(const std::string&)>;
    explicit TapeVerifier(DeckDriver& deck, DeckWaitTiming timing = {}, Note note = {});

    // With start: winds the tape back there first; with end: plays until the tape is past it
    // (else until every file was found, or the deck stops by itself). The deck is stopped at
    // the end, also after a failure. A deck without transport commands is taken to play by
    // itself. cancelled, asked now and then, ends it early (what was not compared then is not
    // read back).
    VerifyOutcome Run(const std::vector<std::string>& files, std::optional<double> start,
                      std::optional<double> end, const std::function<bool()>& cancelled = {});

    // The longest a playback is waited for beyond what the files last.
    void SetPlayMargin(std::chrono::milliseconds margin) { play_margin_ = margin; }

  private:
    bool WindBack(double start, const std::function<bool()>& cancel, std::string& why);

    DeckDriver& deck_;
    DeckWaitTiming timing_;
    DeckTransportControl control_;
    Note note_;
    std::chrono::milliseconds play_margin_{std::chrono::minutes(2)};
};

}  // namespace tessaline
