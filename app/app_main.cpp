// tessaline: the recorder's window.
#include <QApplication>

#include "app/device_gateway.h"
#include "app/main_form.h"
#include "app/termination.h"
#include "app/widgets.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("tessaline");
    QApplication::setApplicationVersion(QStringLiteral(TESSALINE_VERSION));
    tessaline::PrepareApplicationLook(app);

    tessaline::TFormQuillor::Options options;
    options.arguments = QApplication::arguments().mid(1);
    options.devices = tessaline::MakePlatformDeviceGateway();
    tessaline::TFormQuillor form(std::move(options));
    tessaline::CloseOnSessionEnd(form);
    form.show();
    return QApplication::exec();
}
