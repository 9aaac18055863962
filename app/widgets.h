// Small Qt pieces the main window is built from: a string grid with a fixed header row, a status
// bar of fixed-width panels, an edit-length limit that does not cut stored values, field colours,
// and the look (style and font) every window of the program uses.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QStringList>
#include <QTableWidget>
#include <QValidator>
#include <QWidget>
#include <functional>
#include <vector>

#include "app/control_states.h"

class QApplication;
class QPainter;

namespace tessaline {

// Fusion style and a font that has the Japanese captions, for the program and its tests alike.
void PrepareApplicationLook(QApplication& app);

// Draws one line of text in a grid cell: vertically centred by CentredTextBand, horizontally
// centred or left-aligned, tabs expanded, cut at the rectangle.
void DrawCellText(QPainter& painter, const QString& text, const QRect& rect, bool centred);

// A data row's cell background and text colour: the highlight when selected, else every second
// row pale blue.
void FillGridRow(QPainter& painter, const QRect& rect, int row, bool selected,
                 const QPalette& palette);

// Window colour (editable field) or button-face colour on a field's background.
void SetFieldColour(QWidget* widget, FieldColour colour);
// The colour a field shows now, for tests and for keeping a state when re-applying.
FieldColour FieldColourOf(const QWidget* widget);

// A grid whose row 0 is a fixed header that stays in view while the data rows scroll, with the
// row numbering of the design: row 0 is the header, rows 1..RowCount()-1 hold data. Each cell is
// painted by the owner's draw handler, which receives the cell's column, row, rectangle and
// whether it is selected.
class TStringGrid : public QTableWidget {
    Q_OBJECT
  public:
    using DrawCell = std::function<void(QPainter&, int col, int row, const QRect&, bool selected)>;

    TStringGrid(int columns, int row_height, QWidget* parent);

    void SetColumnWidths(const std::vector<int>& widths);
    int RowCount() const { return rowCount() + 1; }
    void SetRowCount(int rows);  // header included; at least 1
    QString Cell(int col, int row) const;
    void SetCell(int col, int row, const QString& text);
    int Row() const { return currentRow() + 1; }  // the selected data row, 0 when none
    void SetRow(int row);
    void SetDrawCell(DrawCell draw) { draw_ = std::move(draw); }
    const DrawCell& DrawHandler() const { return draw_; }

  private:
    DrawCell draw_;
    QStringList header_;
};

// A status bar of panels with fixed widths, each with its alignment.
class TStatusBar : public QWidget {
    Q_OBJECT
  public:
    struct Panel {
        int width;
        Qt::Alignment alignment;
    };
    TStatusBar(const std::vector<Panel>& panels, QWidget* parent);
    void SetText(int panel, const QString& text);
    QString Text(int panel) const;
    QLabel* PanelLabel(int panel) const { return labels_.at(static_cast<size_t>(panel)); }

  private:
    std::vector<QLabel*> labels_;
};

// Limits what a person types to max characters while a longer text set by the program (a value
// read from the settings) stays whole and can still be shortened.
class TypedLengthLimit : public QValidator {
  public:
    TypedLengthLimit(int max, QLineEdit* edit) : QValidator(edit), max_(max), edit_(edit) {}
    State validate(QString& input, int& pos) const override;

  private:
    int max_;
    QLineEdit* edit_;
};

}  // namespace tessaline
