// Which controls of the main window are usable, decided from the run-state flags alone. The result
// is an ordered list of steps naming controls by their object names, so the rules can be checked
// without a window and the window applies them in one loop.
#pragma once

#include <string_view>
#include <vector>

#include "capture/run_state.h"

namespace tessaline {

// Box states the rules depend on besides the flags.
struct ControlInputs {
    RunState run;
    bool PesChecked = false;         // chkPES
    bool FileNameChecked = false;    // chkFileName
    bool AddDate = false;            // the AddDate setting
    bool DateFormatChecked = false;  // chkDateFormat
    bool FolderChecked = false;      // chkFolder
};

enum class FieldColour { Unchanged, Window, ButtonFace };
enum class DropRule { Unchanged, Accept, Refuse };

struct ControlStep {
    enum Scope {
        Control,   // the named control
        PageEdits  // every control placed directly on the named page; the colour is for its edits
    };
    std::string_view name;
    bool enabled = true;
    FieldColour colour = FieldColour::Unchanged;
    Scope scope = Control;
    DropRule drops = DropRule::Unchanged;
};

// The steps in the order they must be applied (later steps override earlier ones). Clearing the
// status bar's first panel, which belongs to the same update, is the window's part.
std::vector<ControlStep> ComputeControlStates(const ControlInputs& in);

}  // namespace tessaline
