// The program's own icon, in every size the window, the taskbar and the tray ask for.
#pragma once

#include <QIcon>

namespace tessaline {

QIcon ProgramIcon();

}  // namespace tessaline
