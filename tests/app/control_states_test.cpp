#include "app/control_states.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/cell_text.h"

namespace tessaline {
namespace {

struct State {
    bool enabled = true;
    FieldColour colour = FieldColour::Unchanged;
    DropRule drops = DropRule::Unchanged;
};

const std::map<std::string, std::vector<std::string>> kPages = {
    {"TabSheet4",
     {"lblFile", "edtFile", "btnFile", "chkRepeat", "chkRec", "edtRec", "lblRec", "btnWrtStart",
      "btnWrtStop", "sgWrite", "btnWrtClear", "btnWrtDel"}},
    {"TabSheet3",
     {"lblRemuxIN", "edtOpen", "btnOpen", "lblRemuxOut", "edtSave", "btnSave", "edtPIDV", "edtPIDA",
      "btnPID", "prbProc", "lblStat", "sgList", "btnRemuxAdd", "btnRemuxDel", "btnRemuxClear",
      "btnOutDir", "pnlOutDir", "chkFolder", "btnStart"}},
};

const std::vector<std::string> kRecordingBar = {"btnRec",  "btnStop",     "btnTimeAdd", "edtTime",
                                                "lblTime", "chkFileName", "edtFileName"};
const std::vector<std::string> kSettingsTab = {
    "chkPES",        "chkTrimPacket",  "chkIFrame",          "chkPrivateStream",  "chkPowerOn",
    "chkPowerOff",   "chkFileExist",   "chkSyncByte",        "edtPSExt",          "edtTS188Ext",
    "edtTS192Ext",   "edtNameFormat",  "lblPSExt",           "lblTS188Ext",       "lblTS192Ext",
    "lblNameFormat", "lblNameFormat2", "lblDateFormat",      "edtDateFormat",     "chkDateFormat",
    "chkAddDelay",   "chkTaskTray",    "chkReservePowerOff", "chkReservePowerOn", "btnDir"};

// Applies the steps in order the way the window does, controls starting enabled.
std::map<std::string, State> Apply(const ControlInputs& in) {
    std::map<std::string, State> out;
    for (const ControlStep& step : ComputeControlStates(in)) {
        const std::string name(step.name);
        if (step.scope == ControlStep::PageEdits) {
            for (const std::string& child : kPages.at(name)) {
                out[child].enabled = step.enabled;
                if (child.rfind("edt", 0) == 0) out[child].colour = step.colour;
            }
            continue;
        }
        State& s = out[name];
        s.enabled = step.enabled;
        if (step.colour != FieldColour::Unchanged) s.colour = step.colour;
        if (step.drops != DropRule::Unchanged) s.drops = step.drops;
    }
    return out;
}

ControlInputs Ready() {
    ControlInputs in;
    in.run.DeviceReady = true;
    in.run.GrabberReady = true;
    in.FolderChecked = true;
    return in;
}

TEST(ControlStates, NoDeviceDisablesRecordingAndSettingsButNotBatchOrWriting) {
    ControlInputs in = Ready();
    in.run.DeviceReady = false;
    auto s = Apply(in);
    for (const auto& name : kRecordingBar) EXPECT_FALSE(s[name].enabled) << name;
    for (const auto& name : kSettingsTab) EXPECT_FALSE(s[name].enabled) << name;
    for (const auto& [page, children] : kPages) {
        for (const auto& name : children) {
            if (name == "btnWrtStop" || name == "edtSave" || name == "btnSave") continue;
            EXPECT_TRUE(s[name].enabled) << name;
        }
    }
    EXPECT_TRUE(s["cmbVid"].enabled);  // another device can still be chosen
    EXPECT_FALSE(s["btnWrtStop"].enabled);
    EXPECT_EQ(s["edtTime"].colour, FieldColour::ButtonFace);
    EXPECT_EQ(s["edtPSExt"].colour, FieldColour::ButtonFace);

    // The grabber missing is the same as no device.
    in = Ready();
    in.run.GrabberReady = false;
    EXPECT_FALSE(Apply(in)["btnRec"].enabled);
}

TEST(ControlStates, IdleEnablesAllWithTheBoxRules) {
    ControlInputs in = Ready();
    auto s = Apply(in);
    EXPECT_TRUE(s["btnRec"].enabled);
    EXPECT_FALSE(s["btnStop"].enabled);
    EXPECT_FALSE(s["btnTimeAdd"].enabled);
    EXPECT_TRUE(s["chkTrimPacket"].enabled);
    EXPECT_FALSE(s["edtFileName"].enabled);
    EXPECT_EQ(s["edtFileName"].colour, FieldColour::ButtonFace);
    EXPECT_FALSE(s["edtDateFormat"].enabled);
    EXPECT_EQ(s["edtPSExt"].colour, FieldColour::Window);
    EXPECT_EQ(s["cmbVid"].colour, FieldColour::Window);
    // Fixed output folder: no free output file on the batch tab.
    EXPECT_FALSE(s["edtSave"].enabled);
    EXPECT_FALSE(s["btnSave"].enabled);
    EXPECT_EQ(s["edtSave"].colour, FieldColour::ButtonFace);
    EXPECT_EQ(s["edtSave"].drops, DropRule::Refuse);

    in.PesChecked = true;  // PS output implies 188-byte packets
    in.FileNameChecked = true;
    in.AddDate = true;
    in.DateFormatChecked = true;
    in.FolderChecked = false;
    s = Apply(in);
    EXPECT_FALSE(s["chkTrimPacket"].enabled);
    EXPECT_TRUE(s["edtFileName"].enabled);
    EXPECT_EQ(s["edtFileName"].colour, FieldColour::Window);
    EXPECT_TRUE(s["edtDateFormat"].enabled);
    EXPECT_TRUE(s["lblDateFormat"].enabled);
    EXPECT_EQ(s["edtDateFormat"].colour, FieldColour::Window);
    EXPECT_TRUE(s["edtSave"].enabled);
    EXPECT_EQ(s["edtSave"].drops, DropRule::Accept);
}

TEST(ControlStates, BatchJobLeavesOnlyItsStartButtonAndFreeOutput) {
    ControlInputs in = Ready();
    in.run.IsRemuxing = true;
    in.FolderChecked = false;
    auto s = Apply(in);
    EXPECT_FALSE(s["cmbVid"].enabled);
    EXPECT_EQ(s["cmbVid"].colour, FieldColour::ButtonFace);
    for (const auto& name : kRecordingBar) EXPECT_FALSE(s[name].enabled) << name;
    for (const auto& name : kSettingsTab) EXPECT_FALSE(s[name].enabled) << name;
    for (const auto& name : kPages.at("TabSheet4")) EXPECT_FALSE(s[name].enabled) << name;
    for (const auto& name : kPages.at("TabSheet3")) {
        const bool expected = name == "btnStart" || name == "edtSave" || name == "btnSave";
        EXPECT_EQ(s[name].enabled, expected) << name;
    }
    EXPECT_EQ(s["edtOpen"].colour, FieldColour::ButtonFace);
    EXPECT_EQ(s["edtSave"].colour, FieldColour::Window);

    in.FolderChecked = true;
    s = Apply(in);
    EXPECT_FALSE(s["edtSave"].enabled);
    EXPECT_FALSE(s["btnSave"].enabled);
}

TEST(ControlStates, RecordingLeavesStopAndExtendOnly) {
    ControlInputs in = Ready();
    in.run.IsRecording = true;
    in.FileNameChecked = true;
    auto s = Apply(in);
    for (const auto& name : kRecordingBar) {
        EXPECT_EQ(s[name].enabled, name == "btnStop" || name == "btnTimeAdd") << name;
    }
    EXPECT_EQ(s["edtFileName"].colour, FieldColour::Window);  // follows the box, not the state
    EXPECT_FALSE(s["btnStart"].enabled);
    EXPECT_FALSE(s["btnWrtStart"].enabled);
    EXPECT_FALSE(s["btnWrtStop"].enabled);
    EXPECT_FALSE(s["cmbVid"].enabled);

    // A recording beside a batch job (not reachable by the buttons) cannot be stopped here.
    in.run.IsRemuxing = true;
    EXPECT_FALSE(Apply(in)["btnStop"].enabled);
}

TEST(ControlStates, WritingLeavesOnlyItsStopButton) {
    ControlInputs in = Ready();
    in.run.IsWriting = true;
    auto s = Apply(in);
    for (const auto& name : kPages.at("TabSheet4")) {
        EXPECT_EQ(s[name].enabled, name == "btnWrtStop") << name;
    }
    EXPECT_FALSE(s["btnStart"].enabled);
    EXPECT_FALSE(s["btnRec"].enabled);
}

TEST(CellText, BandIsCentredWithIntegerDivision) {
    EXPECT_EQ(CentredTextBand(0, 21, 15).top, 3);
    EXPECT_EQ(CentredTextBand(0, 21, 15).bottom, 18);
    EXPECT_EQ(CentredTextBand(10, 30, 17).top, 11);  // 23 / 2: the spare pixel goes below
    EXPECT_EQ(CentredTextBand(-10, 2, 5).top, -6);   // -13 / 2 rounds toward zero
}

}  // namespace
}  // namespace tessaline
