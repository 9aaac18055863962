// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/ieee1394/raw1394_fcp.h"

#include <libraw1394/csr.h>

#include <cstdint>

namespace tessaline::fw {
namespace {

constexpr nodeaddr_t kResponseRegister = CSR_REGISTER_BASE + CSR_FCP_RESPONSE;
constexpr size_t kResponseLength = CSR_FCP_END - CSR_FCP_RESPONSE;  // 512 bytes

}  // namespace

bool FcpResponseRange::Open(raw1394handle_t h) {
    if (open_) return true;
    tag_.arm_callback = &FcpResponseRange::OnWrite;
    tag_.pcontext = this;
    // Writes only, each one told to us; the answer to the writer is the bus's business (the
    // kernel completes every write to the FCP registers itself).
    open_ = raw1394_arm_register(h, kResponseRegister, kResponseLength, nullptr,
                                 reinterpret_cast<uintptr_t>(&tag_), RAW1394_ARM_WRITE,
                                 RAW1394_ARM_WRITE, 0) == 0;
    return open_;
}

void FcpResponseRange::Close(raw1394handle_t h) {
    if (!open_) return;
    open_ = false;
    // Whatever the kernel answers (a device gone, a handle that lost its node), libraw1394 has
    // freed the range's bookkeeping by then.
    raw1394_arm_unregister(h, kResponseRegister);
}

bool FcpResponseRange::Take(FcpFrame& frame) {
    if (frames_.empty()) return false;
    frame = std::move(frames_.front());
    frames_.pop_front();
    return true;
}

// `request` is libraw1394's, freed by it as soon as this returns: what is kept is copied.
int FcpResponseRange::OnWrite(raw1394handle_t /*h*/, raw1394_arm_request_response* request,
                              unsigned int /*requested_length*/, void* context, byte_t type) {
    auto* self = static_cast<FcpResponseRange*>(context);
    if (self == nullptr || type != RAW1394_ARM_WRITE || request == nullptr ||
        request->request == nullptr) {
        return 0;
    }
    const raw1394_arm_request& r = *request->request;
    // A frame starts at the register; anything written further in is no frame.
    if (r.destination_offset != kResponseRegister || r.buffer == nullptr || r.buffer_length == 0 ||
        r.buffer_length > kResponseLength) {
        return 0;
    }
    self->frames_.push_back(FcpFrame{r.source_nodeid & 0x3F,
                                     std::vector<uint8_t>(r.buffer, r.buffer + r.buffer_length)});
    return 0;
}

}  // namespace tessaline::fw
