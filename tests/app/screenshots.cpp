// Writes a picture of every page of the window in Japanese and in English, for the documentation
// and for checking by eye that no caption is cut or overlaps:
//   app_screenshots OUT_DIR
// Every page shows what the window itself made of real input: reservations entered through the
// editor, a recording from a virtual deck with the figures the monitor tick found in the stream,
// conversion jobs added on the batch tab and files added on the writing tab. The window runs on a
// fixed clock and works in a folder of its own under the temporary folder (copies of the bundled
// samples, the recording, the settings file), so the pictures come out the same on every run.
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPixmap>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "app/batch_page.h"
#include "app/main_form.h"
#include "app/reservation_page.h"
#include "app/tick_thread.h"
#include "app/widgets.h"
#include "app/write_page.h"
#include "capture/ds_capture.h"
#include "capture/framework.h"
#include "capture/graph/graph_host.h"
#include "capture/virtual/virtual_deck.h"
#include "recording/clock.h"
#include "tests/app/event_wait.h"

namespace {

using namespace std::chrono_literals;
using tessaline::RunEventsUntil;
using tessaline::TFormQuillor;

// Lets the monitor tick run at least twice more, so that what it shows is current.
bool MonitorTicks(TFormQuillor& form) {
    const uint64_t from = form.TThTime->Ticks();
    return RunEventsUntil([&] { return form.TThTime->Ticks() >= from + 2; });
}

bool Fail(const char* what) {
    std::fprintf(stderr, "app_screenshots: %s\n", what);
    return false;
}

// Reservations typed into the editor and registered with Reg., as a user does.
bool EnterReservations(TFormQuillor& f) {
    // Sunday evening, once, then the computer goes to standby.
    f.chkTimer->setChecked(true);
    f.dpDateS->setDate(QDate(2024, 3, 10));
    f.dpTimeS->setTime(QTime(21, 0, 0));
    f.dpDateE->setDate(QDate(2024, 3, 10));
    f.dpTimeE->setTime(QTime(22, 54, 0));
    f.cmbPower->setCurrentIndex(2);
    f.edtFileResv->setText("sunday-drama.mpg");
    f.Reservations().btnAddClick();
    // Weekday mornings, the next one skipped.
    f.chkTimer->setChecked(true);
    for (QCheckBox* day : {f.chkWeekMon, f.chkWeekTue, f.chkWeekWed, f.chkWeekThu, f.chkWeekFri})
        day->setChecked(true);
    f.dpTimeS->setTime(QTime(7, 0, 0));
    f.dpTimeE->setTime(QTime(7, 30, 0));
    f.chkSkip->setChecked(true);
    f.cmbPower->setCurrentIndex(0);
    f.edtFileResv->setText("morning-news.mpg");
    f.Reservations().btnAddClick();
    // Saturday late night, every week, named by the recording's start.
    f.chkTimer->setChecked(true);
    f.chkWeekSat->setChecked(true);
    f.dpTimeS->setTime(QTime(23, 15, 0));
    f.dpTimeE->setTime(QTime(23, 45, 0));
    f.cmbPower->setCurrentIndex(0);
    f.edtFileResv->setText("");
    f.Reservations().btnAddClick();
    if (f.Reservations().List().Count() != 3) return Fail("a reservation was refused");
    f.sgTimer->clearSelection();
    return true;
}

// Rec. with the virtual deck playing the whole sample; the page is left showing the figures the
// monitor tick found, twelve seconds into a 30-minute recording.
bool Record(TFormQuillor& f, tessaline::ManualClock& clock, tessaline::VirtualDeck& deck) {
    if (!f.Flags.DeviceReady || !f.TThTime) return Fail("the virtual deck is not ready");
    f.edtTime->setText("30");
    f.btnRecClick();
    if (!f.Flags.IsRecording) return Fail("the recording did not start");
    if (!RunEventsUntil([&] {
            return deck.buffers_delivered() > 0 &&
                   f.Capture()->PollCompletion() == tessaline::EC_COMPLETE;
        }))
        return Fail("the virtual deck did not finish its stream");
    clock.Advance(12s + 345ms);
    if (!MonitorTicks(f) || f.pnlVSize->text().isEmpty()) return Fail("no figures shown");
    return true;
}

// Conversion jobs added with the path boxes and Add Job, and the PIDs of the last one searched.
bool AddJobs(TFormQuillor& f, const QDir& work, const QStringList& samples) {
    f.chkFolder->setChecked(false);
    for (const QString& name : samples) {
        f.edtOpen->setText(work.filePath(name));
        f.edtSave->setText(work.filePath(QFileInfo(name).completeBaseName() + ".mpg"));
        f.BatchPage().btnRemuxAddClick();
    }
    f.BatchPage().btnPIDClick();
    if (f.BatchPage().Jobs().RowCount() != static_cast<int>(samples.size()) + 1)
        return Fail("a job was refused");
    f.sgList->clearSelection();
    return true;
}

bool AddWriteFiles(TFormQuillor& f, const QDir& work, const QStringList& samples) {
    for (const QString& name : samples) f.WritePage().AddWriteFile(work.filePath(name));
    if (f.WritePage().CountListedFiles() != static_cast<int>(samples.size()))
        return Fail("a file was refused");
    f.sgWrite->clearSelection();
    return true;
}

bool Save(TFormQuillor& form, const QString& file) {
    if (QWidget* focus = QApplication::focusWidget()) focus->clearFocus();
    QApplication::processEvents();
    // A palette of 256 colours keeps the pictures small; the window has few colours.
    const QImage image = form.grab().toImage().convertToFormat(
        QImage::Format_Indexed8, Qt::ThresholdDither | Qt::AvoidDither);
    if (!image.save(file, "PNG", 9)) {
        std::fprintf(stderr, "cannot write %s\n", file.toLocal8Bit().constData());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    tessaline::PrepareApplicationLook(app);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString("screenshots");
    QDir().mkpath(out);

    // The window's folder: a fixed name, so that the paths shown are the same on every run.
    QDir work(QDir::temp().filePath("tessaline-screenshots"));
    work.removeRecursively();
    if (!QDir().mkpath(work.path())) {
        std::fprintf(stderr, "cannot make %s\n", work.path().toLocal8Bit().constData());
        return 1;
    }
    const QStringList samples = {"sample-sd.ts", "sample-ac3.ts", "sample-hd-192.ts"};
    for (const QString& name : samples) {
        if (!QFile::copy(QString(TESSALINE_DATA_DIR "/") + name, work.filePath(name))) {
            std::fprintf(stderr, "cannot copy %s\n", name.toLocal8Bit().constData());
            return 1;
        }
    }

    const char* pages[] = {"reserve", "datainfo", "batch", "writing", "settings"};
    bool ok = true;
    int messages = 0;  // any message box means a step went wrong
    for (const auto& [language, locale] :
         {std::pair{"ja", QLocale(QLocale::Japanese, QLocale::Japan)},
          std::pair{"en", QLocale(QLocale::English, QLocale::UnitedStates)}}) {
        const QString recordings = work.filePath(QString(language) + "/");
        QDir().mkpath(recordings);
        TFormQuillor::Options options;
        options.locale = locale;
        options.settings_path = work.filePath(QString(language) + ".INI").toStdString();
        options.default_folder = recordings;
        options.message = [&messages](QMessageBox::Icon, const QString& caption,
                                      const QString& text, QMessageBox::StandardButtons) {
            std::fprintf(stderr, "app_screenshots: message: %s: %s\n",
                         caption.toLocal8Bit().constData(), text.toLocal8Bit().constData());
            ++messages;
            return QMessageBox::Ok;
        };
        // Saturday 9 March 2024, 21:05:07, standing still unless moved here.
        auto clock = std::make_shared<tessaline::ManualClock>(
            tessaline::ToDateTime({2024, 3, 9, 21, 5, 7, 0}));
        options.clock = clock;
        // One virtual deck playing the HD sample as fast as it is taken.
        auto framework = std::make_shared<tessaline::GraphHost>();
        tessaline::VirtualDeckConfig config;
        config.file = work.filePath("sample-hd-192.ts").toStdString();
        config.tape_file = work.filePath(QString(language) + ".tape").toStdString();
        config.fast = true;
        const std::shared_ptr<tessaline::VirtualDeck> deck =
            framework->AddDeck(std::make_shared<tessaline::VirtualDeck>(config));
        options.framework = framework;
        {
            // The deck chosen last time, so that it is open as after a normal start.
            QFile ini(QString::fromStdString(options.settings_path.string()));
            if (ini.open(QIODevice::WriteOnly))
                ini.write(("[Capture]\nDevice=0\nSaveDir=" + recordings + "\n").toUtf8());
        }
        TFormQuillor form(std::move(options));
        form.show();
        form.FormActivate();

        const std::function<bool()> before[] = {
            [&] { return EnterReservations(form); },
            [&] { return Record(form, *clock, *deck); },
            [&] {
                form.btnStopClick();
                return AddJobs(form, work, samples);
            },
            [&] { return AddWriteFiles(form, work, samples); },
            [] { return true; },
        };
        for (int i = 0; i < 5 && ok; ++i) {
            ok = before[i]();
            if (!ok) break;
            form.pgPage->setCurrentIndex(i);
            ok = Save(form, QDir(out).filePath(
                                QString("%1-%2-%3.png").arg(language).arg(i + 1).arg(pages[i])));
        }
        if (form.Flags.IsRecording) form.btnStopClick();
        form.close();
        if (!ok) break;
    }
    work.removeRecursively();
    return ok && messages == 0 ? 0 : 1;
}
