// The window beside the desktop: minimising into the notification area and back, and what a
// second start of the program does to the running window.
#include <gtest/gtest.h>

#include <QApplication>

#include "app/main_form.h"
#include "tests/app/fake_tray_shell.h"
#include "tests/app/window_test_support.h"

namespace tessaline {
namespace {

class MainFormShellTest : public MainFormTest {
  protected:
    // A window whose notification area is a recording fake (or none at all).
    TFormQuillor::Options WithTray(bool tray_available = true, const QLocale& locale = English()) {
        TFormQuillor::Options o = Make(locale, {}, 1);
        o.tray_shell = [this] {
            auto fake = std::make_unique<FakeTrayShell>();
            shell = fake.get();
            return fake;
        };
        o.tray_available = [tray_available] { return tray_available; };
        return o;
    }

    void Minimise() {
        form->showMinimized();
        QApplication::processEvents();  // the move to the tray waits for the minimise to finish
    }

    FakeTrayShell* shell = nullptr;
};

TEST_F(MainFormShellTest, TheIconIsDesignedHiddenWithItsHint) {
    Start(WithTray());
    ASSERT_NE(form->ttTask, nullptr);
    EXPECT_FALSE(form->ttTask->Visible());
    EXPECT_EQ(form->ttTask->Hint(), "Quillor");
    EXPECT_FALSE(form->ttTask->Icon().isNull());
    EXPECT_TRUE(shell->calls.empty());
    EXPECT_EQ(form->windowTitle(), "D-VHS Tessaline v" + QStringLiteral(TESSALINE_VERSION));
}

TEST_F(MainFormShellTest, MinimisingWithTaskTrayHidesTheWindowAndAClickBringsItBack) {
    WriteIni("[Capture]\nTaskTray=1\n");
    Start(WithTray());
    const int graphs = GraphsCreated();
    form->pgPage->setCurrentWidget(form->TabSheet5);

    Minimise();
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(form->isMinimized());
    EXPECT_TRUE(form->InTray());
    ASSERT_EQ(shell->calls.size(), 1u);
    EXPECT_EQ(shell->calls[0].action, TrayAction::Add);
    EXPECT_EQ(shell->calls[0].tip, "Quillor");

    shell->Click(TrayMouse::RightDown, TrayMouse::RightUp);  // any button restores
    QApplication::processEvents();
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->isMinimized());
    EXPECT_FALSE(form->InTray());
    EXPECT_EQ(shell->calls.back().action, TrayAction::Delete);
    // The start-up did not run again: no new device listing, the page stays where it was.
    EXPECT_EQ(GraphsCreated(), graphs);
    EXPECT_EQ(form->pgPage->currentWidget(), form->TabSheet5);
    EXPECT_TRUE(messages.empty());

    Minimise();  // and again
    EXPECT_TRUE(form->InTray());
    EXPECT_FALSE(form->isVisible());
}

TEST_F(MainFormShellTest, WithoutTaskTrayOrWithoutANotificationAreaMinimisingIsOrdinary) {
    Start(WithTray());  // TaskTray off
    Minimise();
    EXPECT_TRUE(form->isMinimized());
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->InTray());

    form->close();  // saves TaskTray=0 first
    WriteIni("[Capture]\nTaskTray=1\n");
    Restart(WithTray(/*tray_available=*/false));
    ASSERT_TRUE(form->chkTaskTray->isChecked());
    Minimise();
    // Hidden with no icon to click, the window could never be reached again.
    EXPECT_TRUE(form->isMinimized());
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->InTray());
    EXPECT_TRUE(shell->calls.empty());
}

TEST_F(MainFormShellTest, SecondStartRestoresAMinimisedWindow) {
    Start(WithTray());
    Minimise();
    ASSERT_TRUE(form->isMinimized());
    form->HandOver();
    QApplication::processEvents();
    EXPECT_FALSE(form->isMinimized());
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(shell->balloons.empty());
}

TEST_F(MainFormShellTest, SecondStartLeavesTheTrayedWindowHiddenButSaysItRuns) {
    WriteIni("[Capture]\nTaskTray=1\n");
    Start(WithTray(true, Japanese()));
    Minimise();
    ASSERT_TRUE(form->InTray());
    form->HandOver();
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(form->InTray());
    ASSERT_EQ(shell->balloons.size(), 1u);
    EXPECT_EQ(shell->balloons[0].text, QString::fromUtf8("既に起動しています。"));

    Restart(WithTray(true, English()));  // the file still says TaskTray=1
    Minimise();
    form->HandOver();
    ASSERT_EQ(shell->balloons.size(), 1u);
    EXPECT_EQ(shell->balloons[0].text, "Already running.");
}

}  // namespace
}  // namespace tessaline
