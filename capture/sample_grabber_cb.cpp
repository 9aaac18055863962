#include "capture/sample_grabber_cb.h"

#include <algorithm>

#include "capture/ds_capture.h"
#include "stream/capture_data_path.h"

namespace tessaline {

HResult CSampleGrabberCB::SampleCB(double /*sample_time*/, IMediaSample* /*sample*/) {
    return kE_NOTIMPL;
}

HResult CSampleGrabberCB::BufferCB(double sample_time, const uint8_t* buffer, long length) {
    return grabber_.data_path->BufferCB(sample_time, buffer, length);
}

MediaType GrabberMediaType() {
    MediaType type;
    type.major = MajorType::Video;
    type.subtype = SubType::Mpeg2Video;
    type.format = FormatType::Mpeg2Video;
    return type;
}

bool CDSCapture::SetupSampleGrabber() {
    if (!added_storage_) return false;
    Ref<ISampleGrabber> grabber;
    const size_t count = std::min(added_monikers_.size(), added_filters_.size());
    for (size_t i = 0; i < count && !grabber; ++i) {
        if (!added_filters_[i] || added_filters_[i]->QuerySampleGrabber(grabber) != kS_OK) {
            grabber.reset();
        }
    }
    if (!grabber) return ShowError("Error : Cannot find ISampleGrabber", 0);

    HResult hr = grabber->SetMediaType(GrabberMediaType());
    if (hr != kS_OK) return ShowError("Error %x: Cannot create mediatype", hr);
    grabber->SetBufferSamples(true);
    grabber->SetOneShot(false);

    // A fresh callback per recording; the grabber's reference keeps it alive until the chain is
    // cleared.
    callback_ = MakeRef<CSampleGrabberCB>(data_path_);
    hr = grabber->SetCallback(callback_.get(), kGrabberBufferCallback);
    if (hr != kS_OK) return ShowError("Error %x: Cannot set callback", hr);
    return true;
}

}  // namespace tessaline
