// The fixture of the window tests: a window with its settings file in a temporary folder, message
// boxes recorded instead of shown, folder dialogs answered by the test, and optionally decks.
#pragma once

#include <gtest/gtest.h>

#include <QLocale>
#include <QString>
#include <QStringList>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/ini_file.h"
#include "app/main_form.h"
#include "capture/graph/graph_host.h"
#include "capture/virtual/virtual_deck.h"
#include "tests/app/event_wait.h"
#include "tests/support/test_support.h"

namespace tessaline {

QString Q(std::string_view text);
QLocale English();
QLocale Japanese();

// Every named control lies inside its parent, shows its whole caption and overlaps no named
// sibling.
void ExpectLayoutFits(TFormQuillor& window);

class MainFormTest : public ::testing::Test {
  protected:
    struct Shown {
        QMessageBox::Icon icon;
        QString caption;
        QString text;
    };

    // A window on locale with the given switches and that many decks (0: none usable).
    TFormQuillor::Options Make(const QLocale& locale = English(), const QStringList& args = {},
                               int decks = 0);
    void Start(TFormQuillor::Options options);    // show and run the start-up
    void Restart(TFormQuillor::Options options);  // close the current window first
    void TearDown() override;

    QString CaptionOf(std::string_view name) const;
    int GraphsCreated() const;  // one per listing of the devices and per deck opened

    void WriteIni(const std::string& text) const;
    std::string ReadText() const;
    IniFile ReadIni() const;

    test::TempDir dir;
    std::filesystem::path ini = dir / "tessaline.INI";
    const QString kFolder = "/home/user/Videos/";
    std::vector<Shown> messages;
    QString chosen_folder;  // the folder dialog's answer; empty: cancel
    QString opened_folder;
    std::vector<DateTime> wake_alarms;  // what the window set the wake alarm to (local), in order
    std::shared_ptr<GraphHost> framework;
    std::unique_ptr<TFormQuillor> form;
};

}  // namespace tessaline
