// The deck's power and tape transport. The controls are looked up afresh for every command; no
// command waits for the deck to get there, and none reports anything itself.
#include "capture/ds_capture.h"

namespace tessaline {

bool CDSCapture::DevicePowerOn() {
    if (!device_filter_ || !builder_) return false;
    Ref<IAMExtDevice> device;
    if (builder_->FindExtDevice(device_filter_.get(), device) != kS_OK || !device) return false;
    int32_t state = 0;
    if (device->get_DevicePower(state) != kS_OK) return false;
    if (state != ED_POWER_OFF && state != ED_POWER_STANDBY) return false;
    return device->put_DevicePower(ED_POWER_ON) == kS_OK;
}

bool CDSCapture::DevicePowerOff() {
    if (!device_filter_ || !builder_) return false;
    Ref<IAMExtDevice> device;
    if (builder_->FindExtDevice(device_filter_.get(), device) != kS_OK || !device) return false;
    int32_t state = 0;
    if (device->get_DevicePower(state) != kS_OK || state != ED_POWER_ON) return false;
    return device->put_DevicePower(ED_POWER_OFF) == kS_OK;
}

// Switches an off or standby deck on before a transport command; false only when that fails. A
// deck without power control, or whose state cannot be read, is taken as it is.
bool CDSCapture::PowerStep() {
    Ref<IAMExtDevice> device;
    if (builder_->FindExtDevice(device_filter_.get(), device) != kS_OK || !device) return true;
    int32_t state = 0;
    if (device->get_DevicePower(state) != kS_OK) return true;
    if (state != ED_POWER_OFF && state != ED_POWER_STANDBY) return true;
    return device->put_DevicePower(ED_POWER_ON) == kS_OK;
}

bool CDSCapture::SetTransportMode(int32_t mode, bool power_step) {
    // Without a builder no command can reach the deck; saying it obeyed would let a recording
    // run with the tape standing still.
    if (!device_filter_ || !builder_) return false;
    if (power_step && !PowerStep()) return false;
    Ref<IAMExtTransport> transport;
    // A deck without transport control counts as obeying.
    if (builder_->FindExtTransport(device_filter_.get(), transport) != kS_OK || !transport) {
        return true;
    }
    return transport->put_Mode(mode) == kS_OK;
}

bool CDSCapture::TransportRecordPause() {
    return SetTransportMode(ED_MODE_RECORD_FREEZE, true);
}

bool CDSCapture::TransportRecord() {
    return SetTransportMode(ED_MODE_RECORD, true);
}

bool CDSCapture::TransportStop() {
    return SetTransportMode(ED_MODE_STOP, false);
}

}  // namespace tessaline
