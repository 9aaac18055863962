#include "app/program_icon.h"

// The pictures are compiled into the static library; a static library's resources are registered
// by hand (and outside any namespace).
static void RegisterIconResources() {
    Q_INIT_RESOURCE(icons);
}

namespace tessaline {

QIcon ProgramIcon() {
    static const QIcon icon = [] {
        RegisterIconResources();
        QIcon built;
        for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
            built.addFile(QStringLiteral(":/tessaline/icons/%1x%1/tessaline.png").arg(size),
                          QSize(size, size));
        }
        return built;
    }();
    return icon;
}

}  // namespace tessaline
