#include "capture/device_box.h"

#include <algorithm>

#include "capture/ds_capture.h"
#include "capture/message_sink.h"

namespace tessaline {
namespace {

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        return lower(x) == lower(y);
    });
}

}  // namespace

bool FillDeviceList(CDSCapture& capture, DeviceBox& box, RunState& flags, MessageSink& messages) {
    const bool use_english = flags.UseEnglish;
    if (!capture.EnumerateDevices()) return false;
    box.Clear();
    for (std::string name = capture.NextDeviceName(); !name.empty();
         name = capture.NextDeviceName()) {
        box.Add(name);
    }
    bool grabber = false;
    for (std::string name = capture.NextFilterName(); !name.empty();
         name = capture.NextFilterName()) {
        grabber = grabber || EqualsIgnoringCase(name, "SampleGrabber");
    }
    if (!grabber) {
        messages.ShowError(ErrorCaption(use_english),
                           use_english ? "SampleGrabberis not registered"
                                       : "SampleGrabberがフィルタとして登録されていません");
        return false;
    }
    flags.GrabberReady = true;
    return true;
}

void cmbVidClick(CDSCapture& capture, const DeviceBox& box, DeviceSelection& selection,
                 RunState& flags, const DeviceBoxHooks& hooks) {
    const int index = box.ItemIndex();
    if (index < 0 || index == selection.LastDeviceIndex) return;
    selection.LastDeviceIndex = index;
    flags.DeviceReady = capture.SelectDevice(index);
    if (flags.DeviceReady && hooks.SaveSettings) hooks.SaveSettings();
    if (hooks.UpdateControlStates) hooks.UpdateControlStates();
}

int SavedDeviceIndex(int saved_index, int count) noexcept {
    return saved_index >= 0 && saved_index < count ? saved_index : -1;
}

std::string DeviceNotFoundText(bool use_english) {
    return use_english ? "Cannot find capture device" : "キャプチャデバイスが見つかりません。";
}

std::string ErrorCaption(bool use_english) {
    return use_english ? "ERROR" : "エラー";
}

}  // namespace tessaline
