// Ends the program the way the user's close does when the desktop session ends or the process is
// asked to stop (SIGTERM, SIGINT, SIGHUP): settings saved, device released, then the program quits.
// Nothing is lost when the machine shuts down under a running window.
#pragma once

namespace tessaline {

class TFormQuillor;

void CloseOnSessionEnd(TFormQuillor& form);

}  // namespace tessaline
