// The tray icon component against a recording notification area: which property changes reach
// the area, and which events a mouse action raises in which order.
#include "app/task_tray_icon.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMenu>
#include <QPixmap>
#include <QWidget>
#include <stdexcept>

#include "tests/app/fake_tray_shell.h"

namespace tessaline {
namespace {

QIcon Solid(Qt::GlobalColor colour) {
    QPixmap pixmap(16, 16);
    pixmap.fill(colour);
    return QIcon(pixmap);
}

class TrayIconTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto fake = std::make_unique<FakeTrayShell>();
        shell = fake.get();
        tray = std::make_unique<TTaskTrayIcon>(&owner, std::move(fake));
    }

    QWidget owner;
    FakeTrayShell* shell = nullptr;
    std::unique_ptr<TTaskTrayIcon> tray;
};

TEST_F(TrayIconTest, PropertyChangesReachTheAreaOnlyWhenVisibleAndChanged) {
    tray->SetHint("Quillor");
    tray->SetIcon(Solid(Qt::red));
    EXPECT_TRUE(tray->Visible());
    EXPECT_TRUE(shell->calls.empty());  // nothing before the properties are all set
    tray->Loaded();
    ASSERT_EQ(shell->calls.size(), 1u);
    EXPECT_EQ(shell->calls[0].action, TrayAction::Add);
    EXPECT_EQ(shell->calls[0].tip, "Quillor");

    tray->SetVisible(true);  // unchanged: calls nothing
    tray->SetHint("Quillor");
    const QIcon same = tray->Icon();
    tray->SetIcon(same);
    EXPECT_EQ(shell->calls.size(), 1u);

    tray->SetIcon(Solid(Qt::blue));
    ASSERT_EQ(shell->calls.size(), 2u);
    EXPECT_EQ(shell->calls[1].action, TrayAction::Modify);
    EXPECT_EQ(shell->calls[1].icon, tray->Icon().cacheKey());

    // A hint changed while hidden is only stored; the next add shows it.
    tray->SetVisible(false);
    tray->SetHint("recording tonight");
    tray->SetIcon(Solid(Qt::green));
    ASSERT_EQ(shell->calls.size(), 3u);
    EXPECT_EQ(shell->calls[2].action, TrayAction::Delete);
    tray->SetVisible(false);
    EXPECT_EQ(shell->calls.size(), 3u);
    tray->SetVisible(true);
    ASSERT_EQ(shell->calls.size(), 4u);
    EXPECT_EQ(shell->calls[3].action, TrayAction::Add);
    EXPECT_EQ(shell->calls[3].tip, "recording tonight");
    EXPECT_EQ(shell->calls[3].icon, tray->Icon().cacheKey());
}

TEST_F(TrayIconTest, LongHintsAreCutTo63CharactersNeverInsideACharacter) {
    tray->Loaded();
    const QString long_hint = QString(70, 'x');
    tray->SetHint(long_hint);
    EXPECT_EQ(tray->Hint(), long_hint);  // the property keeps it whole
    EXPECT_EQ(shell->calls.back().tip, QString(63, 'x'));

    // 62 characters and one made of two UTF-16 units: cutting at 63 would split it.
    const QString emoji = QString::fromUtf8("\xF0\x9F\x93\xBC");
    tray->SetHint(QString(62, 'a') + emoji + "tail");
    EXPECT_EQ(shell->calls.back().tip, QString(62, 'a'));
    tray->SetHint(QString(61, 'a') + emoji + "tail");
    EXPECT_EQ(shell->calls.back().tip, QString(61, 'a') + emoji);
    tray->SetHint("short");
    EXPECT_EQ(shell->calls.back().tip, "short");
}

TEST_F(TrayIconTest, MouseActionsRaiseTheirEventsInOrder) {
    tray->Loaded();
    std::vector<std::string> log;
    auto name = [](Qt::MouseButton b) {
        return b == Qt::LeftButton ? "left" : b == Qt::RightButton ? "right" : "middle";
    };
    tray->OnMouseDown = [&](TTaskTrayIcon* sender, Qt::MouseButton b, TrayShift s, int x, int y) {
        EXPECT_EQ(sender, tray.get());
        log.push_back("down " + std::string(name(b)) + " " + std::to_string(s) + " " +
                      std::to_string(x) + "," + std::to_string(y));
    };
    tray->OnMouseUp = [&](TTaskTrayIcon*, Qt::MouseButton b, TrayShift s, int, int) {
        log.push_back("up " + std::string(name(b)) + " " + std::to_string(s));
    };
    tray->OnClick = [&](TTaskTrayIcon*) { log.push_back("click"); };
    tray->OnDblClick = [&](TTaskTrayIcon*) { log.push_back("dblclick"); };
    tray->OnMouseMove = [&](TTaskTrayIcon*, TrayShift s, int x, int) {
        log.push_back("move " + std::to_string(s) + " " + std::to_string(x));
    };

    shell->Click(TrayMouse::RightDown, TrayMouse::RightUp);
    EXPECT_EQ(log, (std::vector<std::string>{"down right 2 640,1010", "up right 2", "click"}));
    log.clear();
    shell->Click(TrayMouse::LeftDown, TrayMouse::LeftUp);
    shell->Click(TrayMouse::MiddleDown, TrayMouse::MiddleUp);
    EXPECT_EQ(log, (std::vector<std::string>{"down left 1 640,1010", "up left 1", "click",
                                             "down middle 4 640,1010", "up middle 4", "click"}));
    log.clear();
    shell->deliver(TrayMouse::LeftDouble);
    shell->deliver(TrayMouse::RightDouble);
    shell->deliver(TrayMouse::Move);
    EXPECT_EQ(log, (std::vector<std::string>{"dblclick", "down left 8 640,1010", "dblclick",
                                             "down right 8 640,1010", "move 0 640"}));

    // Unassigned events are simply not raised.
    tray->OnClick = nullptr;
    tray->OnMouseUp = nullptr;
    log.clear();
    shell->deliver(TrayMouse::LeftUp);
    EXPECT_TRUE(log.empty());
}

TEST_F(TrayIconTest, MenusPopUpAtTheCursorAndAreForgottenWhenFreed) {
    tray->Loaded();
    auto* right = new QMenu;
    right->addAction("Restore");
    tray->SetPopUpMenuR(right);
    shell->deliver(TrayMouse::RightDown);
    EXPECT_TRUE(right->isVisible());
    right->close();
    shell->deliver(TrayMouse::LeftDown);  // no left menu: nothing pops up
    EXPECT_FALSE(right->isVisible());
    delete right;
    EXPECT_EQ(tray->PopUpMenuR(), nullptr);
    shell->deliver(TrayMouse::RightDown);  // and nothing dangles
}

TEST_F(TrayIconTest, ErrorsOfHandlersGoToTheErrorHandlerNotOutOfTheIcon) {
    tray->Loaded();
    QString reported;
    tray->OnError = [&](const QString& text) { reported = text; };
    tray->OnClick = [](TTaskTrayIcon*) { throw std::runtime_error("cannot restore"); };
    EXPECT_NO_THROW(shell->deliver(TrayMouse::LeftUp));
    EXPECT_EQ(reported, "cannot restore");
}

TEST_F(TrayIconTest, SessionEndAndDestructionRemoveTheIcon) {
    tray->Loaded();
    tray->SessionEnding();
    ASSERT_EQ(shell->calls.size(), 2u);
    EXPECT_EQ(shell->calls[1].action, TrayAction::Delete);

    // Destroyed while visible: deleted from the area; while hidden: nothing more is called.
    const auto history = shell->history;
    tray.reset();
    ASSERT_EQ(history->size(), 3u);
    EXPECT_EQ(history->back().action, TrayAction::Delete);

    auto fake = std::make_unique<FakeTrayShell>();
    const auto hidden_history = fake->history;
    {
        TTaskTrayIcon icon(&owner, std::move(fake));
        icon.SetVisible(false);
        icon.Loaded();
    }
    EXPECT_TRUE(hidden_history->empty());
}

}  // namespace
}  // namespace tessaline
