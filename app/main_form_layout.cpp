// Building the main window's controls: positions, sizes and fixed properties. The client area is
// fixed at 685 x 453 pixels, so controls are placed by coordinates, as designed.
#include <QDate>
#include <QFileInfo>
#include <QPainter>
#include <QScrollBar>
#include <QTime>

#include "app/captions.h"
#include "app/main_form.h"
#include "app/qt_text.h"

namespace tessaline {

namespace {

constexpr int kClientWidth = 685;
constexpr int kClientHeight = 453;
const QColor kInfoLabelColour(247, 246, 187);
const QColor kInfoValueColour(232, 232, 232);

template <class T>
T* Make(QWidget* parent, const char* name, int x, int y, int w, int h) {
    T* widget = new T(parent);
    widget->setObjectName(name);
    widget->setGeometry(x, y, w, h);
    return widget;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, int x, int y, int w, int max_length = 0) {
    auto* edit = Make<QLineEdit>(parent, name, x, y, w, 22);
    if (max_length > 0) edit->setMaxLength(max_length);
    return edit;
}

QLabel* MakeLabel(QWidget* parent, const char* name, int x, int y, int w,
                  Qt::Alignment align = Qt::AlignLeft) {
    auto* label = Make<QLabel>(parent, name, x, y, w, 22);
    label->setAlignment(align | Qt::AlignVCenter);
    return label;
}

// A coloured caption or value panel of the Data Info page.
QLabel* MakeInfoPanel(QWidget* parent, const char* name, int x, int y, int w, const QColor& colour,
                      bool framed) {
    auto* panel = Make<QLabel>(parent, name, x, y, w, 21);
    panel->setAutoFillBackground(true);
    QPalette palette = panel->palette();
    palette.setColor(QPalette::Window, colour);
    palette.setColor(QPalette::WindowText, Qt::black);
    panel->setPalette(palette);
    if (framed) {
        panel->setFrameStyle(QFrame::Box | QFrame::Plain);
        panel->setLineWidth(1);
        panel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        panel->setIndent(4);
    } else {
        panel->setAlignment(Qt::AlignCenter);
    }
    return panel;
}

// A grid wide enough for its columns plus the scroll bar and frame.
int GridWidth(TStringGrid* grid, int columns_width) {
    return columns_width + grid->verticalScrollBar()->sizeHint().width() + 2 * grid->frameWidth();
}

QString FileNamePart(const QString& path) {
    return QFileInfo(path).fileName();
}

}  // namespace

void TFormQuillor::BuildLayout() {
    setObjectName("TFormQuillor");
    setFixedSize(kClientWidth, kClientHeight);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);

    BuildRecordingBar();
    pgPage = Make<QTabWidget>(this, "pgPage", 4, 84, 677, 344);
    TabSheet1 = new QWidget;
    TabSheet2 = new QWidget;
    TabSheet3 = new QWidget;
    TabSheet4 = new QWidget;
    TabSheet5 = new QWidget;
    const char* names[] = {"TabSheet1", "TabSheet2", "TabSheet3", "TabSheet4", "TabSheet5"};
    QWidget* pages[] = {TabSheet1, TabSheet2, TabSheet3, TabSheet4, TabSheet5};
    for (int i = 0; i < 5; ++i) {
        pages[i]->setObjectName(names[i]);
        pgPage->addTab(pages[i], QString());
    }
    BuildReservationPage();
    BuildDataInfoPage();
    BuildBatchPage();
    BuildWritingPage();
    BuildSettingsPage();

    sbStatus = new TStatusBar({{80, Qt::AlignHCenter},
                               {100, Qt::AlignHCenter},
                               {390, Qt::AlignLeft},
                               {60, Qt::AlignHCenter},
                               {50, Qt::AlignHCenter}},
                              this);
    sbStatus->setObjectName("sbStatus");
    sbStatus->setGeometry(2, 429, 683, 24);

    for (const Caption& caption : kCaptions) SetCaption(caption.name, caption.japanese);
    for (auto item : kPowerItemsJapanese) cmbPower->addItem(QString::fromUtf8(item));
}

void TFormQuillor::BuildRecordingBar() {
    grpGroup = Make<QGroupBox>(this, "grpGroup", 4, 1, 677, 49);
    cmbVid = Make<QComboBox>(grpGroup, "cmbVid", 8, 21, 661, 22);
    cmbVid->setFocusPolicy(Qt::NoFocus);  // no tab stop

    edtTime = MakeEdit(this, "edtTime", 6, 56, 36);
    edtTime->setValidator(new TypedLengthLimit(3, edtTime));
    edtTime->setAlignment(Qt::AlignRight);
    edtTime->setText("30");
    lblTime = MakeLabel(this, "lblTime", 45, 56, 38);
    btnRec = Make<QPushButton>(this, "btnRec", 86, 54, 78, 26);
    btnStop = Make<QPushButton>(this, "btnStop", 168, 54, 78, 26);
    chkFileName = Make<QCheckBox>(this, "chkFileName", 256, 56, 92, 22);
    edtFileName = MakeEdit(this, "edtFileName", 350, 56, 222);
    edtFileName->setEnabled(false);
    SetFieldColour(edtFileName, FieldColour::ButtonFace);
    btnTimeAdd = Make<QPushButton>(this, "btnTimeAdd", 578, 54, 103, 26);
}

void TFormQuillor::BuildReservationPage() {
    QWidget* page = TabSheet1;
    sgTimer = new TStringGrid(3, 21, page);
    sgTimer->setObjectName("sgTimer");
    sgTimer->SetColumnWidths({143, 144, 51});
    sgTimer->setGeometry(6, 6, GridWidth(sgTimer, 338), 21 * 14 + 2 * sgTimer->frameWidth());
    sgTimer->SetRowCount(Settings.MaxReserve + 1);  // painted by the reservation page

    const int x = sgTimer->geometry().right() + 10;
    const int w = 663 - x;
    chkTimer = Make<QCheckBox>(page, "chkTimer", x + 4, 4, w - 4, 22);
    gbTimer = Make<QGroupBox>(page, "gbTimer", x, 28, w, 272);
    QWidget* g = gbTimer;

    lblWeek = MakeLabel(g, "lblWeek", 8, 10, 80);
    chkSkip = Make<QCheckBox>(g, "chkSkip", w - 70, 10, 62, 22);
    QCheckBox** days[] = {&chkWeekMon, &chkWeekTue, &chkWeekWed, &chkWeekThu,
                          &chkWeekFri, &chkWeekSat, &chkWeekSun};
    const char* day_names[] = {"chkWeekMon", "chkWeekTue", "chkWeekWed", "chkWeekThu",
                               "chkWeekFri", "chkWeekSat", "chkWeekSun"};
    const int day_width = (w - 16) / 7;
    for (int i = 0; i < 7; ++i) {
        *days[i] = Make<QCheckBox>(g, day_names[i], 8 + i * day_width, 34, day_width, 22);
        (*days[i])->setStyleSheet("QCheckBox { spacing: 2px; }");  // room for "We", "Th"
    }

    const int field_x = 76;
    lblStart = MakeLabel(g, "lblStart", 8, 66, 64);
    dpDateS = Make<QDateEdit>(g, "dpDateS", field_x, 66, 104, 22);
    dpTimeS = Make<QTimeEdit>(g, "dpTimeS", field_x + 110, 66, w - field_x - 118, 22);
    lblEnd = MakeLabel(g, "lblEnd", 8, 94, 64);
    dpDateE = Make<QDateEdit>(g, "dpDateE", field_x, 94, 104, 22);
    dpTimeE = Make<QTimeEdit>(g, "dpTimeE", field_x + 110, 94, w - field_x - 118, 22);
    for (QDateEdit* date : {dpDateS, dpDateE}) {
        date->setDisplayFormat("yyyy/MM/dd");
        date->setCalendarPopup(true);
    }
    for (QTimeEdit* time : {dpTimeS, dpTimeE}) time->setDisplayFormat("HH:mm:ss");
    lblAfter = MakeLabel(g, "lblAfter", 8, 122, 64);
    cmbPower = Make<QComboBox>(g, "cmbPower", field_x, 122, 130, 22);
    lblFileRsv = MakeLabel(g, "lblFileRsv", 8, 150, 64);
    edtFileResv = MakeEdit(g, "edtFileResv", field_x, 150, w - field_x - 8, 128);

    const int bw = (w - 32) / 3;
    btnAdd = Make<QPushButton>(g, "btnAdd", 8, 194, bw, 26);
    btnEsc = Make<QPushButton>(g, "btnEsc", 16 + bw, 194, bw, 26);
    btnEdit = Make<QPushButton>(g, "btnEdit", 8, 230, bw, 26);
    btnDel = Make<QPushButton>(g, "btnDel", 16 + bw, 230, bw, 26);
    btnClear = Make<QPushButton>(g, "btnClear", 24 + 2 * bw, 230, bw, 26);
}

void TFormQuillor::BuildDataInfoPage() {
    QWidget* page = TabSheet2;
    struct Row {
        const char* video_label;
        QLabel** video;
        const char* video_name;
        const char* audio_label;
        QLabel** audio;
        const char* audio_name;
    };
    const Row rows[] = {
        {"lblVSize", &pnlVSize, "pnlVSize", "lblALayer", &pnlALayer, "pnlALayer"},
        {"lblVAspect", &pnlVAspect, "pnlVAspect", "lblABitRate", &pnlABitRate, "pnlABitRate"},
        {"lblVFrameRate", &pnlVFrameRate, "pnlVFrameRate", "lblAFrequency", &pnlAFrequency,
         "pnlAFrequency"},
        {"lblVBitRate", &pnlVBitRate, "pnlVBitRate", "lblDelay", &pnlDelay, "pnlDelay"},
        {"lblVPTS", &pnlVPTS, "pnlVPTS", "lblAPTS", &pnlAPTS, "pnlAPTS"},
        {nullptr, &pnlEVPTS, "pnlEVPTS", nullptr, &pnlEAPTS, "pnlEAPTS"},
        {nullptr, &pnlDeltaVPTS, "pnlDeltaVPTS", nullptr, &pnlDeltaAPTS, "pnlDeltaAPTS"},
    };
    int top = 12;
    for (const Row& row : rows) {
        if (row.video_label)
            MakeInfoPanel(page, row.video_label, 8, top, 101, kInfoLabelColour, false);
        *row.video = MakeInfoPanel(page, row.video_name, 116, top, 149, kInfoValueColour, true);
        if (row.audio_label) {
            MakeInfoPanel(page, row.audio_label, 284, top, 101, kInfoLabelColour, false);
        }
        *row.audio = MakeInfoPanel(page, row.audio_name, 392, top, 149, kInfoValueColour, true);
        top += 24;
    }
}

void TFormQuillor::BuildBatchPage() {
    QWidget* page = TabSheet3;
    lblRemuxIN = MakeLabel(page, "lblRemuxIN", 8, 2, 300);
    lblRemuxIN->resize(300, 20);
    edtOpen = MakeEdit(page, "edtOpen", 8, 23, 556);  // whole paths, however long
    btnOpen = Make<QPushButton>(page, "btnOpen", 572, 21, 90, 26);
    lblRemuxOut = MakeLabel(page, "lblRemuxOut", 8, 46, 300);
    lblRemuxOut->resize(300, 20);
    edtSave = MakeEdit(page, "edtSave", 8, 67, 556);
    btnSave = Make<QPushButton>(page, "btnSave", 572, 65, 90, 26);

    MakeLabel(page, "lblPIDV", 8, 97, 86);
    edtPIDV = MakeEdit(page, "edtPIDV", 94, 97, 46, 4);
    MakeLabel(page, "lblPIDA", 152, 97, 86);
    edtPIDA = MakeEdit(page, "edtPIDA", 238, 97, 46, 4);
    for (QLineEdit* pid : {edtPIDV, edtPIDA}) {
        pid->setText("0");
        // Typed digits are shown in upper case, as hexadecimal PIDs are written.
        connect(pid, &QLineEdit::textEdited, pid, [pid](const QString& text) {
            const int cursor = pid->cursorPosition();
            pid->setText(text.toUpper());
            pid->setCursorPosition(cursor);
        });
    }
    btnPID = Make<QPushButton>(page, "btnPID", 294, 95, 104, 26);
    lblStat = MakeLabel(page, "lblStat", 408, 97, 56, Qt::AlignRight);
    prbProc = Make<QProgressBar>(page, "prbProc", 470, 97, 192, 22);
    prbProc->setRange(0, 10000);
    prbProc->setValue(0);
    prbProc->setTextVisible(false);

    sgList = new TStringGrid(2, 21, page);
    sgList->setObjectName("sgList");
    sgList->SetColumnWidths({240, 230});
    sgList->setGeometry(8, 127, GridWidth(sgList, 470), 21 * 7 + 2 * sgList->frameWidth());
    sgList->SetRowCount(2);
    sgList->SetDrawCell([this](QPainter& p, int c, int r, const QRect& rect, bool sel) {
        PaintListCell(p, c, r, rect, sel);
    });

    const int gx = sgList->geometry().right() + 8;
    const int bw = 662 - gx;
    btnRemuxAdd = Make<QPushButton>(page, "btnRemuxAdd", gx, 127, bw, 26);
    btnRemuxDel = Make<QPushButton>(page, "btnRemuxDel", gx, 157, bw, 26);
    btnRemuxClear = Make<QPushButton>(page, "btnRemuxClear", gx, 187, bw, 26);
    chkFolder = Make<QCheckBox>(page, "chkFolder", gx, 221, bw, 22);
    btnStart = Make<QPushButton>(page, "btnStart", gx, 251, bw, 52);

    const int below = sgList->geometry().bottom() + 8;
    btnOutDir = Make<QPushButton>(page, "btnOutDir", 8, below, 104, 26);
    pnlOutDir =
        Make<QLabel>(page, "pnlOutDir", 118, below + 1, sgList->geometry().right() - 118, 24);
    pnlOutDir->setFrameStyle(QFrame::Panel | QFrame::Sunken);
}

void TFormQuillor::BuildWritingPage() {
    QWidget* page = TabSheet4;
    MakeLabel(page, "lblFile", 8, 8, 34);
    edtFile = MakeEdit(page, "edtFile", 44, 8, 578);  // whole paths, however long
    btnFile = Make<QPushButton>(page, "btnFile", 628, 6, 34, 26);

    chkRepeat = Make<QCheckBox>(page, "chkRepeat", 8, 40, 90, 22);
    chkRec = Make<QCheckBox>(page, "chkRec", 104, 40, 100, 22);
    edtRec = MakeEdit(page, "edtRec", 206, 40, 62);
    edtRec->setText("1000");
    edtRec->setAlignment(Qt::AlignRight);
    MakeLabel(page, "lblRec", 272, 40, 30);
    chkVerify = Make<QCheckBox>(page, "chkVerify", 310, 40, 220, 22);

    sgWrite = new TStringGrid(2, 20, page);
    sgWrite->setObjectName("sgWrite");
    // The file, and what the verification after writing found.
    sgWrite->SetColumnWidths({356, 90});
    sgWrite->setGeometry(8, 72, GridWidth(sgWrite, 446), 20 * 11 + 2 * sgWrite->frameWidth());
    sgWrite->SetRowCount(2);
    sgWrite->SetDrawCell([this](QPainter& p, int c, int r, const QRect& rect, bool sel) {
        PaintWriteCell(p, c, r, rect, sel);
    });

    const int gx = sgWrite->geometry().right() + 10;
    const int bw = (662 - gx - 8) / 2;
    btnWrtStart = Make<QPushButton>(page, "btnWrtStart", gx, 72, bw, 48);
    btnWrtStop = Make<QPushButton>(page, "btnWrtStop", gx + bw + 8, 72, bw, 48);
    btnWrtStop->setEnabled(false);
    btnWrtClear = Make<QPushButton>(page, "btnWrtClear", gx, 130, bw, 26);
    btnWrtDel = Make<QPushButton>(page, "btnWrtDel", gx + bw + 8, 130, bw, 26);
}

void TFormQuillor::BuildSettingsPage() {
    QWidget* page = TabSheet5;
    constexpr int kRow = 23;
    constexpr int kTop = 6;
    auto box = [&](QCheckBox*& field, const char* name, int x, int row, int w) {
        field = Make<QCheckBox>(page, name, x, kTop + row * kRow, w, 22);
    };
    // Left column: output form and file naming.
    box(chkPES, "chkPES", 10, 0, 320);
    box(chkTrimPacket, "chkTrimPacket", 10, 1, 320);
    box(chkIFrame, "chkIFrame", 10, 2, 320);
    box(chkPrivateStream, "chkPrivateStream", 10, 3, 320);
    box(chkSyncByte, "chkSyncByte", 10, 4, 320);
    box(chkFileExist, "chkFileExist", 10, 5, 320);
    box(chkAddDelay, "chkAddDelay", 10, 6, 320);
    box(chkDateFormat, "chkDateFormat", 10, 7, 320);
    lblDateFormat = MakeLabel(page, "lblDateFormat", 30, kTop + 8 * kRow, 150);
    edtDateFormat = MakeEdit(page, "edtDateFormat", 182, kTop + 8 * kRow, 142);

    // Right column: deck power and the window, then extensions and the name format.
    box(chkPowerOn, "chkPowerOn", 342, 0, 320);
    box(chkPowerOff, "chkPowerOff", 342, 1, 320);
    box(chkReservePowerOn, "chkReservePowerOn", 342, 2, 320);
    box(chkReservePowerOff, "chkReservePowerOff", 342, 3, 320);
    box(chkTaskTray, "chkTaskTray", 342, 4, 320);
    auto labelled = [&](QLabel*& label, const char* label_name, QLineEdit*& edit,
                        const char* edit_name, int row) {
        label = MakeLabel(page, label_name, 342, kTop + row * kRow + 4, 190, Qt::AlignRight);
        edit = MakeEdit(page, edit_name, 536, kTop + row * kRow + 4, 124);
    };
    labelled(lblPSExt, "lblPSExt", edtPSExt, "edtPSExt", 5);
    labelled(lblTS188Ext, "lblTS188Ext", edtTS188Ext, "edtTS188Ext", 6);
    labelled(lblTS192Ext, "lblTS192Ext", edtTS192Ext, "edtTS192Ext", 7);
    labelled(lblNameFormat, "lblNameFormat", edtNameFormat, "edtNameFormat", 8);
    lblNameFormat2 =
        MakeLabel(page, "lblNameFormat2", 342, kTop + 9 * kRow + 4, 318, Qt::AlignRight);

    const int bottom = kTop + 10 * kRow + 22;
    btnDir = Make<QPushButton>(page, "btnDir", 10, bottom, 116, 26);
    pnlDir = Make<QLabel>(page, "pnlDir", 132, bottom + 1, 394, 24);
    pnlDir->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    btnFolderOpen = Make<QPushButton>(page, "btnFolderOpen", 532, bottom, 130, 26);
}

void TFormQuillor::SetCaption(std::string_view name, std::string_view text) {
    const QString caption = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    const QString object = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
    QWidget* widget = findChild<QWidget*>(object);
    if (!widget) return;
    if (const int tab = pgPage->indexOf(widget); tab >= 0) {
        pgPage->setTabText(tab, caption);
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        button->setText(caption);
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(caption);
    } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
        group->setTitle(caption);
    }
}

void TFormQuillor::PaintListCell(QPainter& painter, int col, int row, const QRect& rect,
                                 bool selected) {
    const QRect text_rect = rect.adjusted(3, 0, -3, 0);
    if (row == 0) {
        const auto& header = Flags.UseEnglish ? kListHeaderEnglish : kListHeaderJapanese;
        DrawCellText(painter, QString::fromUtf8(header[col].data(), header[col].size()), text_rect,
                     true);
        return;
    }
    FillGridRow(painter, rect, row, selected, sgList->palette());
    DrawCellText(painter, FileNamePart(sgList->Cell(col, row)), text_rect, false);
}

void TFormQuillor::PaintWriteCell(QPainter& painter, int col, int row, const QRect& rect,
                                  bool selected) {
    const QRect text_rect = rect.adjusted(3, 0, -3, 0);
    if (row == 0) {
        const QString header = col == 0
                                   ? QString::fromUtf8(kWriteHeader.data(), kWriteHeader.size())
                                   : Q(Pick(kWriteStatusHeader, Flags.UseEnglish));
        DrawCellText(painter, header, text_rect, true);
        return;
    }
    FillGridRow(painter, rect, row, selected, sgWrite->palette());
    const QString text = sgWrite->Cell(col, row);
    DrawCellText(painter, col == 0 ? FileNamePart(text) : text, text_rect, false);
}

}  // namespace tessaline
