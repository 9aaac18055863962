// SPDX-License-Identifier: GPL-3.0-or-later
// The deck behind an entry of the device list, for those who show what it is doing (the
// window's device list, `devices --verbose`) or drive its tape (`deck`): the list holds the tape
// decks of the framework's list, in order, up to its limit.
#pragma once

#include <string>

#include "capture/deck_driver.h"
#include "capture/framework.h"

namespace tessaline {

// The driver of the listed deck `index` (a real deck's); nullptr for a deck without one (the
// virtual deck), an index out of range, or a framework that is not the graph host.
DeckDriver* ListedDeckDriver(MediaFramework& framework, int index);

// One line on the listed deck `index`: a real deck's own description (identity, power,
// transport, tape position, cassette), or the virtual deck's file, power and transport; empty
// when there is no such deck.
std::string ListedDeckDetails(MediaFramework& framework, int index);

}  // namespace tessaline
