// SPDX-License-Identifier: GPL-3.0-or-later
// Playing a tape back and comparing it with the files written to it, for `write --verify` and
// `verify`: a line per file and a summary (or one JSON object), and the exit code.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "capture/deck_driver.h"
#include "tools/cli_common.h"

namespace tessaline::cli {

// Plays the deck's tape (from start to end when they are known) and compares it with files;
// prints the result and returns kExitOk when every file verified, else kExitFailure.
int VerifyOnDeck(DeckDriver& deck, const std::string& deck_name,
                 const std::vector<std::string>& files, std::optional<double> start,
                 std::optional<double> end, bool json, const StopSignals& signals);

}  // namespace tessaline::cli
