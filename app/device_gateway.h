// What the window needs from the capture layer for its device box: list the decks into the box,
// open the one chosen, and let go of everything when the window closes.
#pragma once

#include <QComboBox>
#include <functional>
#include <memory>

#include "app/captions.h"
#include "app/control_states.h"

namespace tessaline {

class DeviceGateway {
  public:
    virtual ~DeviceGateway() = default;
    // FillDeviceList: lists the decks into box and sets flags.GrabberReady; a missing sample
    // grabber is reported through report. True when a deck is listed and the grabber exists.
    virtual bool Fill(QComboBox& box, RunState& flags,
                      const std::function<void(const MessageText&)>& report) = 0;
    // The device part of cmbVidClick for the box's index; true when a deck was opened (the window
    // then saves the settings).
    virtual bool Click(int index, RunState& flags) = 0;
    // Closing: the added filters removed and the controller freed.
    virtual void Release() = 0;
};

// The decks of this machine (none until the capture layer is bound).
std::shared_ptr<DeviceGateway> MakePlatformDeviceGateway();

}  // namespace tessaline
