// SPDX-License-Identifier: GPL-3.0-or-later
// How the reservation grid shows the timetable: a header row, then one row per record with its
// start, end and status; a record that is skipped stands out in red, one with an action after it
// in blue.
#pragma once

#include <QPainter>
#include <QPalette>
#include <QRect>
#include <QString>

#include "recording/reservation_list.h"

namespace tessaline {

// What cell (col, row) shows; row 0 is the header.
QString ReservationCellText(const ReservationList& list, int col, int row, bool english);

// Paints cell (col, row) into rect: background, colour and weight, then the text.
void PaintReservationCell(QPainter& painter, const QPalette& palette, const ReservationList& list,
                          int col, int row, const QRect& rect, bool selected, bool english);

}  // namespace tessaline
