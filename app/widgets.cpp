#include "app/widgets.h"

#include <QApplication>
#include <QComboBox>
#include <QFont>
#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPainter>
#include <QStyleFactory>
#include <QStyledItemDelegate>

#include "app/cell_text.h"

namespace tessaline {

namespace {

// The designed face is a 13-pixel bitmap terminal font that Linux does not have; these hold the
// Japanese captions at a comparable size. The first one installed wins.
const QStringList kFontFamilies = {"Noto Sans CJK JP", "IPAGothic", "IPAexGothic", "VL Gothic",
                                   "Droid Sans Japanese"};
constexpr int kFontPixelSize = 12;

// Paints data cells through the grid's draw handler.
class GridDelegate : public QStyledItemDelegate {
  public:
    explicit GridDelegate(TStringGrid* grid) : QStyledItemDelegate(grid), grid_(grid) {}
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        if (!grid_->DrawHandler()) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        painter->save();
        painter->setFont(option.font);
        const bool selected = option.state & QStyle::State_Selected;
        grid_->DrawHandler()(*painter, index.column(), index.row() + 1, option.rect, selected);
        painter->restore();
    }

  private:
    TStringGrid* grid_;
};

// The fixed header row: the grid's own header background, then the draw handler for row 0.
class GridHeader : public QHeaderView {
  public:
    explicit GridHeader(TStringGrid* grid) : QHeaderView(Qt::Horizontal, grid), grid_(grid) {}

  protected:
    void paintSection(QPainter* painter, const QRect& rect, int section) const override {
        painter->save();
        QHeaderView::paintSection(painter, rect, section);
        painter->restore();
        if (grid_->DrawHandler()) {
            painter->save();
            painter->setFont(grid_->font());
            painter->setPen(palette().color(QPalette::ButtonText));
            grid_->DrawHandler()(*painter, section, 0, rect, false);
            painter->restore();
        }
    }

  private:
    TStringGrid* grid_;
};

}  // namespace

void PrepareApplicationLook(QApplication& app) {
    if (QStyle* fusion = QStyleFactory::create("Fusion")) app.setStyle(fusion);
    QFont font;
    QStringList families;
    const QStringList installed = QFontDatabase::families();
    for (const QString& family : kFontFamilies) {
        if (installed.contains(family)) families << family;
    }
    if (!families.isEmpty()) font.setFamilies(families);
    font.setPixelSize(kFontPixelSize);
    font.setStyleStrategy(QFont::PreferAntialias);
    app.setFont(font);
}

void DrawCellText(QPainter& painter, const QString& text, const QRect& rect, bool centred) {
    const QFontMetrics metrics = painter.fontMetrics();
    const int height = metrics.lineSpacing();  // the line with its external leading
    // QRect's bottom is inclusive; the centring rule works on the exclusive edge.
    const TextBand band = CentredTextBand(rect.top(), rect.top() + rect.height(), height);
    const QRect line(rect.left(), band.top, rect.width(), band.bottom - band.top);
    const int flags = Qt::TextSingleLine | Qt::TextExpandTabs | Qt::AlignVCenter |
                      (centred ? Qt::AlignHCenter : Qt::AlignLeft);
    painter.save();
    painter.setClipRect(rect, Qt::IntersectClip);
    painter.drawText(line, flags, text);
    painter.restore();
}

void FillGridRow(QPainter& painter, const QRect& rect, int row, bool selected,
                 const QPalette& palette) {
    static const QColor kEvenRow(231, 247, 254);
    if (selected) {
        painter.fillRect(rect, palette.color(QPalette::Highlight));
        painter.setPen(palette.color(QPalette::HighlightedText));
    } else {
        painter.fillRect(rect, row % 2 == 0 ? kEvenRow : palette.color(QPalette::Base));
        painter.setPen(palette.color(QPalette::Text));
    }
}

void SetFieldColour(QWidget* widget, FieldColour colour) {
    if (colour == FieldColour::Unchanged || !widget) return;
    const QPalette standard = QApplication::palette(widget);
    const QColor fill = colour == FieldColour::Window ? standard.color(QPalette::Base)
                                                      : standard.color(QPalette::Button);
    QPalette palette = widget->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::Base, fill);
        // Drop-down boxes without an edit field paint their face with the button colour.
        if (qobject_cast<const QComboBox*>(widget)) palette.setColor(group, QPalette::Button, fill);
    }
    widget->setPalette(palette);
    widget->setProperty("fieldColour", colour == FieldColour::Window ? "window" : "buttonface");
}

FieldColour FieldColourOf(const QWidget* widget) {
    const QString value = widget->property("fieldColour").toString();
    if (value == "window") return FieldColour::Window;
    if (value == "buttonface") return FieldColour::ButtonFace;
    return FieldColour::Unchanged;
}

TStringGrid::TStringGrid(int columns, int row_height, QWidget* parent)
    : QTableWidget(0, columns, parent) {
    setHorizontalHeader(new GridHeader(this));
    horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setFixedHeight(row_height);
    horizontalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setVisible(false);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setDefaultSectionSize(row_height);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setWordWrap(false);
    setShowGrid(true);
    setItemDelegate(new GridDelegate(this));
    for (int c = 0; c < columns; ++c) {
        header_ << QString();
        setHorizontalHeaderItem(c, new QTableWidgetItem());
    }
}

void TStringGrid::SetColumnWidths(const std::vector<int>& widths) {
    for (size_t c = 0; c < widths.size() && static_cast<int>(c) < columnCount(); ++c) {
        setColumnWidth(static_cast<int>(c), widths[c]);
    }
}

void TStringGrid::SetRowCount(int rows) {
    setRowCount(std::max(rows, 1) - 1);
}

QString TStringGrid::Cell(int col, int row) const {
    if (row == 0) return header_.value(col);
    const QTableWidgetItem* it = item(row - 1, col);
    return it ? it->text() : QString();
}

void TStringGrid::SetCell(int col, int row, const QString& text) {
    if (col < 0 || col >= columnCount() || row < 0 || row >= RowCount()) return;
    if (row == 0) {
        header_[col] = text;
        horizontalHeader()->viewport()->update();
        return;
    }
    QTableWidgetItem* it = item(row - 1, col);
    if (!it) {
        setItem(row - 1, col, new QTableWidgetItem(text));
    } else {
        it->setText(text);
    }
}

void TStringGrid::SetRow(int row) {
    if (row >= 1 && row < RowCount()) setCurrentCell(row - 1, std::max(currentColumn(), 0));
}

TStatusBar::TStatusBar(const std::vector<Panel>& panels, QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 2, 0, 0);
    layout->setSpacing(2);
    for (const Panel& p : panels) {
        auto* label = new QLabel(this);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setFixedWidth(p.width - 2);
        label->setAlignment(p.alignment | Qt::AlignVCenter);
        label->setIndent(2);
        layout->addWidget(label);
        labels_.push_back(label);
    }
    layout->addStretch(1);
}

void TStatusBar::SetText(int panel, const QString& text) {
    if (panel >= 0 && static_cast<size_t>(panel) < labels_.size()) labels_[panel]->setText(text);
}

QString TStatusBar::Text(int panel) const {
    if (panel < 0 || static_cast<size_t>(panel) >= labels_.size()) return {};
    return labels_[panel]->text();
}

QValidator::State TypedLengthLimit::validate(QString& input, int& /*pos*/) const {
    if (input.size() <= max_) return Acceptable;
    // Over the limit: only shortening an already longer text is allowed.
    return input.size() < edit_->text().size() ? Acceptable : Invalid;
}

}  // namespace tessaline
