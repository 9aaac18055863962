// Writes a picture of every page of the window in Japanese and in English, for the documentation
// and for checking by eye that no caption is cut or overlaps:
//   app_screenshots OUT_DIR
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPixmap>
#include <cstdio>
#include <cstdlib>

#include "app/main_form.h"
#include "app/widgets.h"
#include "capture/virtual/virtual_framework.h"

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    tessaline::PrepareApplicationLook(app);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString("screenshots");
    QDir().mkpath(out);

    const char* pages[] = {"reserve", "datainfo", "batch", "writing", "settings"};
    for (const auto& [language, locale] :
         {std::pair{"ja", QLocale(QLocale::Japanese, QLocale::Japan)},
          std::pair{"en", QLocale(QLocale::English, QLocale::UnitedStates)}}) {
        tessaline::TFormQuillor::Options options;
        options.locale = locale;
        options.settings_path = (QDir(out).filePath("screenshots.INI")).toStdString();
        options.default_folder = "/home/user/Videos/";
        options.message = [](QMessageBox::Icon, const QString&, const QString&,
                             QMessageBox::StandardButtons) { return QMessageBox::Ok; };
        // One virtual deck, as make run shows it.
        auto framework = std::make_shared<tessaline::VirtualFramework>();
        tessaline::VirtualDeckConfig deck;
        deck.file = TESSALINE_DATA_DIR "/sample-sd-192.ts";
        framework->AddDeck(deck);
        options.framework = framework;
        {
            // The deck chosen last time, so that it is open as after a normal start.
            QFile ini(QString::fromStdString(options.settings_path.string()));
            if (ini.open(QIODevice::WriteOnly)) ini.write("[Capture]\nDevice=0\n");
        }
        tessaline::TFormQuillor form(std::move(options));
        form.show();
        form.FormActivate();
        // A few files in the two lists, to show how their rows look.
        const QString data = TESSALINE_DATA_DIR;
        const QStringList files = {data + "/sample-sd.ts", data + "/sample-hd-192.ts",
                                   data + "/sample-ac3.ts"};
        form.sgList->SetRowCount(files.size() + 1);
        form.sgWrite->SetRowCount(files.size() + 1);
        for (int i = 0; i < files.size(); ++i) {
            form.sgList->SetCell(0, i + 1, files[i]);
            form.sgList->SetCell(
                1, i + 1, "/home/user/Videos/" + QFileInfo(files[i]).completeBaseName() + ".mpg");
            form.sgWrite->SetCell(0, i + 1, files[i]);
        }
        form.sgList->clearSelection();
        form.sgWrite->clearSelection();
        if (QWidget* focus = QApplication::focusWidget()) focus->clearFocus();
        for (int i = 0; i < 5; ++i) {
            form.pgPage->setCurrentIndex(i);
            QApplication::processEvents();
            const QString file =
                QDir(out).filePath(QString("%1-%2-%3.png").arg(language).arg(i + 1).arg(pages[i]));
            // A palette of 256 colours keeps the pictures small; the window has few colours.
            const QImage image = form.grab().toImage().convertToFormat(
                QImage::Format_Indexed8, Qt::ThresholdDither | Qt::AvoidDither);
            if (!image.save(file, "PNG", 9)) {
                std::fprintf(stderr, "cannot write %s\n", file.toLocal8Bit().constData());
                return 1;
            }
        }
        form.close();
    }
    QFile::remove(QDir(out).filePath("screenshots.INI"));
    return 0;
}
