// tessaline: the recorder's window.
#include <QApplication>
#include <cstring>

#include "app/main_form.h"
#include "app/program_icon.h"
#include "app/single_instance.h"
#include "app/termination.h"
#include "app/widgets.h"

int main(int argc, char** argv) {
    // "--probe-display": only whether a window can be shown here (the platform plugin loads and
    // connects); Qt ends the process with an error before this returns when it cannot.
    const bool probe = argc == 2 && std::strcmp(argv[1], "--probe-display") == 0;
    QApplication app(argc, argv);
    if (probe) return 0;
    QApplication::setApplicationName("tessaline");
    QApplication::setApplicationVersion(QStringLiteral(TESSALINE_VERSION));
    QGuiApplication::setDesktopFileName("tessaline");  // the desktop entry: its name and icon
    QApplication::setWindowIcon(tessaline::ProgramIcon());

    // One copy per user: a later start brings the running window forward and ends here.
    // "-S" and "-P" given to a later start are handed to the running copy, which acts on them.
    tessaline::SingleInstance instance(tessaline::InstanceFoldersForThisProcess());
    if (instance.Claim(QApplication::arguments().mid(1)) !=
        tessaline::SingleInstance::Outcome::First) {
        return 0;
    }

    tessaline::PrepareApplicationLook(app);
    tessaline::TFormQuillor::Options options;
    options.arguments = QApplication::arguments().mid(1);
    tessaline::TFormQuillor form(std::move(options));
    // The application title: what a taskbar or window list shows for the minimised program.
    form.setWindowIconText(QString::fromUtf8(tessaline::kApplicationTitle));
    QObject::connect(&instance, &tessaline::SingleInstance::activationRequested, &form,
                     &tessaline::TFormQuillor::HandOver);
    QObject::connect(&instance, &tessaline::SingleInstance::switchesHandedOver, &form,
                     &tessaline::TFormQuillor::HandOverSwitches);
    tessaline::CloseOnSessionEnd(form);
    form.show();
    return QApplication::exec();
}
