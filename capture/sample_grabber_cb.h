// The object the sample grabber calls for every captured buffer, on the framework's streaming
// thread. It hands the buffer to the capture data path, which normalises, writes and converts it.
#pragma once

#include "capture/framework.h"

namespace tessaline {

class CaptureDataPath;

// The callback's working state: the data path, which owns the two work areas of one call.
struct TSampleGrabberCB {
    CaptureDataPath* data_path = nullptr;
};

class CSampleGrabberCB final : public ISampleGrabberCB {
  public:
    explicit CSampleGrabberCB(CaptureDataPath& data_path) { grabber_.data_path = &data_path; }

    // Only whole buffers are wanted.
    HResult SampleCB(double sample_time, IMediaSample* sample) override;
    HResult BufferCB(double sample_time, const uint8_t* buffer, long length) override;

    const TSampleGrabberCB& grabber() const noexcept { return grabber_; }

  private:
    TSampleGrabberCB grabber_;
};

// The media type given to the grabber: MPEG-2 video, everything else zero.
MediaType GrabberMediaType();

}  // namespace tessaline
