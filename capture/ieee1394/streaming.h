// SPDX-License-Identifier: GPL-3.0-or-later
// The streaming side of a real deck, for those who use all of it: receiving the deck's stream
// (receive_loop.h), sending a file to it (transmit_loop.h, ts_feeder.h) and the signal at its
// input while a write is set up (input_signal.h, input_link.h).
#pragma once

#include "capture/ieee1394/input_link.h"
#include "capture/ieee1394/input_signal.h"
#include "capture/ieee1394/receive_loop.h"
#include "capture/ieee1394/stream_link.h"
#include "capture/ieee1394/transmit_loop.h"
#include "capture/ieee1394/ts_feeder.h"
