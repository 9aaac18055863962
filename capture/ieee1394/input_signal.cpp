// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/ieee1394/input_signal.h"

namespace tessaline::fw {

InputSignal::InputSignal(Ieee1394Port& port, uint64_t guid, const StreamTiming& timing)
    : link_(port, guid, timing) {
    // The deck is told to record-pause right after this returns: the link is sending by then.
    opened_ = link_.Open();
    if (opened_) Return();
}

InputSignal::~InputSignal() {
    Borrow();
    link_.Close();
}

void InputSignal::Run() {
    while (!stop_->raised()) {
        if (link_.Step(*stop_) == InputLink::Event::Failed) {
            failed_ = true;
            return;
        }
    }
}

InputLink* InputSignal::Borrow() {
    std::lock_guard lock(mu_);
    if (thread_.joinable()) {
        stop_->Raise();
        thread_.join();
    }
    return opened_ && !failed_ ? &link_ : nullptr;
}

void InputSignal::Return() {
    std::lock_guard lock(mu_);
    if (!opened_ || failed_ || thread_.joinable()) return;
    link_.SetSource(nullptr);
    stop_ = std::make_unique<StopSignal>();
    thread_ = std::thread([this] { Run(); });
}

}  // namespace tessaline::fw
