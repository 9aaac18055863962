#include "app/control_states.h"

namespace tessaline {

std::vector<ControlStep> ComputeControlStates(const ControlInputs& in) {
    const RunState& r = in.run;
    const bool idle = r.Idle();
    const bool busy = r.Busy();
    const bool stoppable = r.Stoppable();
    auto colour = [](bool window) {
        return window ? FieldColour::Window : FieldColour::ButtonFace;
    };

    std::vector<ControlStep> steps;
    steps.reserve(64);
    auto on = [&](std::string_view name, bool enabled) { steps.push_back({name, enabled}); };

    on("btnRec", idle);
    on("btnStop", stoppable);
    on("btnTimeAdd", stoppable);
    on("btnDir", idle);
    on("chkPES", idle);
    on("chkTrimPacket", idle && !in.PesChecked);
    on("edtTime", idle);
    on("lblTime", idle);
    on("edtFileName", idle && in.FileNameChecked);
    for (auto name : {"chkFileName", "chkIFrame", "chkPrivateStream"}) on(name, idle);
    on("cmbVid", !busy);
    for (auto name : {"chkPowerOn", "chkPowerOff", "chkFileExist", "chkSyncByte", "edtPSExt",
                      "edtTS188Ext", "edtTS192Ext", "edtNameFormat", "lblPSExt", "lblTS188Ext",
                      "lblTS192Ext", "lblNameFormat", "lblNameFormat2"}) {
        on(name, idle);
    }
    on("lblDateFormat", idle && in.AddDate);
    on("edtDateFormat", idle && in.AddDate);
    for (auto name : {"chkDateFormat", "chkAddDelay", "chkReservePowerOff", "chkReservePowerOn",
                      "chkTaskTray"}) {
        on(name, idle);
    }

    // Colours: a step without a change of the enabled state.
    auto paint = [&](std::string_view name, bool enabled, bool window) {
        steps.push_back({name, enabled, colour(window)});
    };
    for (auto name : {"edtPSExt", "edtTS188Ext", "edtTS192Ext", "edtNameFormat"}) {
        paint(name, idle, idle);
    }
    paint("edtFileName", idle && in.FileNameChecked, in.FileNameChecked);
    paint("edtDateFormat", idle && in.AddDate, in.DateFormatChecked);
    paint("cmbVid", !busy, !busy);
    paint("edtTime", idle, idle);

    // Writing tab.
    steps.push_back({"TabSheet4", !busy, colour(!busy), ControlStep::PageEdits});
    on("btnWrtStart", !busy);
    on("btnWrtStop", r.IsWriting);

    // Batch tab; the start button stays usable during a batch run so a second click can abort it.
    steps.push_back({"TabSheet3", !busy, colour(!busy), ControlStep::PageEdits});
    on("btnStart", !r.IsRecording && !r.IsWriting);
    const bool free_output = !in.FolderChecked;
    on("btnSave", free_output);
    steps.push_back({"edtSave", free_output, colour(free_output), ControlStep::Control,
                     free_output ? DropRule::Accept : DropRule::Refuse});
    return steps;
}

}  // namespace tessaline
