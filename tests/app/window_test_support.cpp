#include "tests/app/window_test_support.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>

#include "app/widgets.h"
#include "capture/graph/graph_host.h"
#include "capture/virtual/virtual_deck.h"

namespace tessaline {

namespace {

bool IsNamed(const QWidget* w) {
    const QString name = w->objectName();
    return !name.isEmpty() && !name.startsWith("qt_");
}

void ExpectCaptionFits(const QWidget* w) {
    const std::string name = w->objectName().toStdString();
    if (auto* check = qobject_cast<const QCheckBox*>(w)) {
        EXPECT_LE(check->sizeHint().width(), check->width())
            << name << ": " << check->text().toStdString();
        EXPECT_LE(check->fontMetrics().height() + 2, check->height()) << name;
    } else if (auto* button = qobject_cast<const QPushButton*>(w)) {
        const QFontMetrics fm = button->fontMetrics();
        EXPECT_LE(fm.horizontalAdvance(button->text()) + 8, button->width())
            << name << ": " << button->text().toStdString();
        EXPECT_LE(fm.height() + 4, button->height()) << name;
    } else if (auto* label = qobject_cast<const QLabel*>(w)) {
        if (name.rfind("pnl", 0) == 0) return;  // values (paths, figures), not captions
        EXPECT_LE(label->sizeHint().width(), label->width())
            << name << ": " << label->text().toStdString();
        EXPECT_LE(label->fontMetrics().height() + 2, label->height()) << name;
    } else if (auto* group = qobject_cast<const QGroupBox*>(w)) {
        EXPECT_LE(group->fontMetrics().horizontalAdvance(group->title()) + 16, group->width())
            << name;
    }
}

void ExpectFits(const QWidget* parent) {
    std::vector<const QWidget*> named;
    for (const QWidget* child :
         parent->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (child->isHidden()) continue;  // a page behind the current one
        if (!IsNamed(child)) {
            ExpectFits(child);  // e.g. the tab widget's page stack
            continue;
        }
        named.push_back(child);
        EXPECT_TRUE(parent->rect().contains(child->geometry()))
            << child->objectName().toStdString() << " sticks out of "
            << parent->objectName().toStdString();
        ExpectCaptionFits(child);
        ExpectFits(child);
    }
    for (size_t i = 0; i < named.size(); ++i) {
        for (size_t j = i + 1; j < named.size(); ++j) {
            EXPECT_FALSE(named[i]->geometry().intersects(named[j]->geometry()))
                << named[i]->objectName().toStdString() << " overlaps "
                << named[j]->objectName().toStdString();
        }
    }
}

}  // namespace

QString Q(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
QLocale English() {
    return QLocale(QLocale::English, QLocale::UnitedStates);
}
QLocale Japanese() {
    return QLocale(QLocale::Japanese, QLocale::Japan);
}

void ExpectLayoutFits(TFormQuillor& window) {
    // Only the current page is laid out; look at each in turn.
    for (int page = 0; page < window.pgPage->count(); ++page) {
        window.pgPage->setCurrentIndex(page);
        QApplication::processEvents();
        SCOPED_TRACE("page " + window.pgPage->tabText(page).toStdString());
        ExpectFits(&window);
    }
}

TFormQuillor::Options MainFormTest::Make(const QLocale& locale, const QStringList& args,
                                         int decks) {
    TFormQuillor::Options o;
    o.arguments = args;
    o.locale = locale;
    o.settings_path = ini;
    o.default_folder = kFolder;
    o.message = [this](QMessageBox::Icon icon, const QString& caption, const QString& text,
                       QMessageBox::StandardButtons) {
        messages.push_back({icon, caption, text});
        return QMessageBox::Ok;
    };
    o.choose_folder = [this](QWidget*, const QString&, const QString&) { return chosen_folder; };
    o.open_folder = [this](const QString& folder) { opened_folder = folder; };
    o.set_wake_alarm = [this](Instant at) { wake_alarms.push_back(ToLocal(at)); };
    framework = std::make_shared<GraphHost>();
    for (int i = 0; i < decks; ++i) {
        VirtualDeckConfig deck;
        deck.file = test::SamplePath("sample-sd-192.ts").string();
        framework->AddDeck(std::make_shared<VirtualDeck>(deck));
    }
    o.framework = framework;
    return o;
}

void MainFormTest::Start(TFormQuillor::Options options) {
    form = std::make_unique<TFormQuillor>(std::move(options));
    form->show();
    form->FormActivate();
    QApplication::processEvents();
}

void MainFormTest::Restart(TFormQuillor::Options options) {
    if (form) form->close();
    form.reset();
    messages.clear();
    Start(std::move(options));
}

void MainFormTest::TearDown() {
    if (form) form->close();
    form.reset();
}

QString MainFormTest::CaptionOf(std::string_view name) const {
    QWidget* w = form->findChild<QWidget*>(Q(name));
    if (!w) return "<missing " + Q(name) + ">";
    if (const int tab = form->pgPage->indexOf(w); tab >= 0) return form->pgPage->tabText(tab);
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
    return "<no caption>";
}

int MainFormTest::GraphsCreated() const {
    return framework->GraphsCreated();
}

void MainFormTest::WriteIni(const std::string& text) const {
    test::WriteFile(ini, test::Bytes(text.begin(), text.end()));
}

std::string MainFormTest::ReadText() const {
    const test::Bytes bytes = test::ReadFile(ini);
    return std::string(bytes.begin(), bytes.end());
}

IniFile MainFormTest::ReadIni() const {
    return IniFile::Parse(ReadText());
}

}  // namespace tessaline

int main(int argc, char** argv) {
    // Window tests never open windows on a developer's desktop.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    tessaline::PrepareApplicationLook(app);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
