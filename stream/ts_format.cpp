#include "stream/ts_format.h"

namespace tessaline {

StreamClass ClassifyStreamId(uint8_t id, bool check_private_stream) noexcept {
    if (IsAudioStreamId(id)) return StreamClass::Audio;
    if (IsVideoStreamId(id)) return StreamClass::Video;
    if (id == kStreamIdPrivate1)
        return check_private_stream ? StreamClass::Audio : StreamClass::Skipped;
    if (id == kStreamIdProgramStreamMap || id == kStreamIdPadding || id == kStreamIdPrivate2 ||
        (id >= kStreamIdEcm && id <= kStreamIdIso13522) || id == kStreamIdDirectory) {
        return StreamClass::Skipped;
    }
    return StreamClass::Invalid;
}

void EncodeTimestamp(uint8_t* out, uint64_t pts, uint8_t prefix) noexcept {
    pts &= kPtsMask;
    out[0] = static_cast<uint8_t>(prefix | ((pts >> 29) & 0x0E) | 0x01);
    out[1] = static_cast<uint8_t>(pts >> 22);
    out[2] = static_cast<uint8_t>(((pts >> 14) & 0xFE) | 0x01);
    out[3] = static_cast<uint8_t>(pts >> 7);
    out[4] = static_cast<uint8_t>(((pts << 1) & 0xFE) | 0x01);
}

}  // namespace tessaline
