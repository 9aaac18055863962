// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/reservation_grid.h"

#include <QColor>
#include <QFont>

#include "app/captions.h"
#include "app/qt_text.h"
#include "app/widgets.h"

namespace tessaline {
namespace {

namespace L = reserve_layout;

const QColor kSkipColour(255, 0, 0);
const QColor kActionColour(0, 0, 255);
const QColor kActionSelectedColour(0, 255, 255);

}  // namespace

QString ReservationCellText(const ReservationList& list, int col, int row, bool english) {
    if (row == 0) {
        const auto& header = english ? kTimerHeaderEnglish : kTimerHeaderJapanese;
        return col >= 0 && col < 3 ? Q(header[static_cast<size_t>(col)]) : QString();
    }
    if (row > list.Count()) return {};
    const std::string& record = list[row - 1];
    switch (col) {
        case 0:
            return Q(ReservationText(RecordField(record, L::kStart), english));
        case 1:
            return Q(ReservationText(RecordField(record, L::kEnd), english));
        case 2:
            return Q(StatusText(record, english));
        default:
            return {};
    }
}

void PaintReservationCell(QPainter& painter, const QPalette& palette, const ReservationList& list,
                          int col, int row, const QRect& rect, bool selected, bool english) {
    const QRect text_rect = rect.adjusted(3, 0, -3, 0);
    if (row == 0) {
        DrawCellText(painter, ReservationCellText(list, col, 0, english), text_rect, true);
        return;
    }
    FillGridRow(painter, rect, row, selected, palette);
    if (row <= list.Count()) {
        const std::string& record = list[row - 1];
        QFont font = painter.font();
        if (record.size() > L::kSkip && record[L::kSkip] == '0') {
            font.setBold(true);
            painter.setPen(kSkipColour);
        } else if (record.size() > L::kAction && record[L::kAction] != '0') {
            font.setBold(true);
            painter.setPen(selected ? kActionSelectedColour : kActionColour);
        }
        painter.setFont(font);
    }
    DrawCellText(painter, ReservationCellText(list, col, row, english), text_rect, true);
}

}  // namespace tessaline
