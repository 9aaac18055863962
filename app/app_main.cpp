// tessaline: the recorder's window.
#include <QApplication>
#include <cstring>

#include "app/main_form.h"
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
    tessaline::PrepareApplicationLook(app);

    tessaline::TFormQuillor::Options options;
    options.arguments = QApplication::arguments().mid(1);
    tessaline::TFormQuillor form(std::move(options));
    tessaline::CloseOnSessionEnd(form);
    form.show();
    return QApplication::exec();
}
