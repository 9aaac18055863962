// The logic behind the window's device box: filling it with the decks, and opening the deck the
// user picks. The window binds these to its combo box; the command-line tool uses a plain list.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "capture/run_state.h"

namespace tessaline {

class CDSCapture;
class MessageSink;

// What the device box offers to this logic.
class DeviceBox {
  public:
    virtual ~DeviceBox() = default;
    virtual void Clear() = 0;
    virtual void Add(const std::string& name) = 0;
    virtual int Count() const = 0;
    virtual int ItemIndex() const = 0;  // -1: no selection
    virtual void SetItemIndex(int index) = 0;
};

// A device box without a window.
class ListDeviceBox final : public DeviceBox {
  public:
    void Clear() override {
        items.clear();
        index = -1;
    }
    void Add(const std::string& name) override { items.push_back(name); }
    int Count() const override { return static_cast<int>(items.size()); }
    int ItemIndex() const override { return index; }
    void SetItemIndex(int i) override { index = i >= 0 && i < Count() ? i : -1; }

    std::vector<std::string> items;
    int index = -1;
};

// The deck opened last, so that picking it again does nothing. The readiness flags live in the
// program's one RunState, which this logic writes directly.
struct DeviceSelection {
    int LastDeviceIndex = -1;
};

// What the window does when the selection changes.
struct DeviceBoxHooks {
    std::function<void()> SaveSettings;
    std::function<void()> UpdateControlStates;
};

// Lists the decks into the box (index = device list index) and checks that the sample grabber is
// registered. False, with the box unchanged, when no deck is found; false after a message box
// when the grabber is missing. Sets flags.GrabberReady; the caller stores the result in
// flags.DeviceReady.
bool FillDeviceList(CDSCapture& capture, DeviceBox& box, RunState& flags, MessageSink& messages);

// The box's click handler: opens the deck now selected, unless it is the one opened last, and
// sets flags.DeviceReady before the hooks run.
void cmbVidClick(CDSCapture& capture, const DeviceBox& box, DeviceSelection& selection,
                 RunState& flags, const DeviceBoxHooks& hooks);

// The box index for a saved device index: itself when listed, else no selection (-1).
int SavedDeviceIndex(int saved_index, int count) noexcept;

// The report when no deck can be used, and the caption of error boxes.
std::string DeviceNotFoundText(bool use_english);
std::string ErrorCaption(bool use_english);

}  // namespace tessaline
