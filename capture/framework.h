// The media framework as the capture controller sees it: exactly the operations CDSCapture calls,
// with 32-bit result codes (0 is success; negative codes are failures). A backend (the virtual
// deck, later an IEEE 1394 one) implements these interfaces; nothing above this layer knows which
// backend it talks to.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "stream/capture_data_path.h"  // kS_OK, kS_FALSE: the callback's results

namespace tessaline {

using HResult = int32_t;

constexpr HResult MakeResult(uint32_t bits) noexcept {
    return static_cast<HResult>(bits);
}

inline constexpr HResult kE_NOTIMPL = MakeResult(0x80004001);
inline constexpr HResult kE_NOINTERFACE = MakeResult(0x80004002);
inline constexpr HResult kE_POINTER = MakeResult(0x80004003);
inline constexpr HResult kE_ABORT = MakeResult(0x80004004);
inline constexpr HResult kE_FAIL = MakeResult(0x80004005);
inline constexpr HResult kE_OUTOFMEMORY = MakeResult(0x8007000E);
inline constexpr HResult kE_INVALIDARG = MakeResult(0x80070057);
inline constexpr HResult kE_FILE_NOT_FOUND = MakeResult(0x80070002);
// A wait that ran out: what the controller reports when a graph never reaches a state.
inline constexpr HResult kE_TIMEOUT = MakeResult(0x800705B4);
inline constexpr HResult kVFW_E_ALREADY_CONNECTED = MakeResult(0x80040204);
inline constexpr HResult kVFW_E_INVALID_DIRECTION = MakeResult(0x80040208);
inline constexpr HResult kVFW_E_NOT_FOUND = MakeResult(0x80040216);
inline constexpr HResult kVFW_E_CANNOT_CONNECT = MakeResult(0x80040217);
inline constexpr HResult kVFW_E_NOT_STOPPED = MakeResult(0x80040224);
inline constexpr HResult kVFW_E_WRONG_STATE = MakeResult(0x80040227);
inline constexpr HResult kVFW_E_NOT_IN_GRAPH = MakeResult(0x8004025F);
inline constexpr HResult kVFW_S_STATE_INTERMEDIATE = MakeResult(0x00040237);

constexpr bool Succeeded(HResult hr) noexcept {
    return hr >= 0;
}

// ---- Values passed through the framework -----------------------------------------------------
inline constexpr int32_t ED_DEVCAP_DEVICE_TYPE = 4103;
inline constexpr int32_t ED_DEVTYPE_VCR = 4104;
inline constexpr int32_t ED_DEVTYPE_TUNER = 4105;
inline constexpr int32_t ED_DEVTYPE_CAMERA = 4106;
inline constexpr int32_t ED_POWER_ON = 4146;
inline constexpr int32_t ED_POWER_OFF = 4147;
inline constexpr int32_t ED_POWER_STANDBY = 4148;
inline constexpr int32_t ED_MODE_STOP = 4297;
inline constexpr int32_t ED_MODE_RECORD = 4302;
inline constexpr int32_t ED_MODE_RECORD_FREEZE = 4904;

inline constexpr int32_t EC_COMPLETE = 1;
inline constexpr int32_t EC_ERRORABORT = 3;

// Buffer callback mode of ISampleGrabber::SetCallback.
inline constexpr int32_t kGrabberBufferCallback = 1;

enum class DeviceCategory { VideoInputDevice, LegacyAmFilter };
enum class PinDirection : int32_t { Input = 0, Output = 1 };
enum class FilterState : int32_t { Stopped = 0, Paused = 1, Running = 2 };

enum class MajorType { None, Video, Stream };
enum class SubType { None, Mpeg2Video, Mpeg2Transport };
enum class FormatType { None, Mpeg2Video };

struct MediaType {
    MajorType major = MajorType::None;
    SubType subtype = SubType::None;
    FormatType format = FormatType::None;
    bool fixed_size_samples = false;
    bool temporal_compression = false;
    uint32_t sample_size = 0;
};

// ---- Reference counting ----------------------------------------------------------------------
// Every framework object counts its references; the last Release frees it. The count is atomic
// because the framework takes and drops references on its own threads (the grabber callback).
class Unknown {
  public:
    virtual uint32_t AddRef() noexcept;
    // Frees the object when the last reference goes.
    virtual uint32_t Release() noexcept;

    Unknown(const Unknown&) = delete;
    Unknown& operator=(const Unknown&) = delete;

  protected:
    Unknown() = default;
    virtual ~Unknown() = default;

  private:
    std::atomic<uint32_t> refs_{0};
};

// A counted reference, like a COM smart pointer.
template <class T>
class Ref {
  public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    explicit Ref(T* p) noexcept : p_(p) {
        if (p_) p_->AddRef();
    }
    Ref(const Ref& other) noexcept : Ref(other.p_) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    template <class U>
    requires std::is_convertible_v<U*, T*> Ref(const Ref<U>& other)
    noexcept : Ref(static_cast<T*>(other.get())) {}
    ~Ref() { reset(); }

    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    void reset() noexcept {
        if (T* p = std::exchange(p_, nullptr)) p->Release();
    }
    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    T& operator*() const noexcept { return *p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    friend bool operator==(const Ref& a, const Ref& b) noexcept { return a.p_ == b.p_; }

  private:
    T* p_ = nullptr;
};

template <class T, class... Args>
Ref<T> MakeRef(Args&&... args) {
    return Ref<T>(new T(std::forward<Args>(args)...));
}

// ---- Interfaces ------------------------------------------------------------------------------
class IBaseFilter;
class IMediaSample;

class IPropertyBag : public virtual Unknown {
  public:
    // "FriendlyName", "VendorText", "ModelText".
    virtual HResult Read(std::string_view property, std::string& value) = 0;
};

// The deck's external device control: its type and its power.
class IAMExtDevice : public virtual Unknown {
  public:
    virtual HResult GetCapability(int32_t capability, int32_t& value) = 0;
    virtual HResult get_DevicePower(int32_t& power_state) = 0;
    virtual HResult put_DevicePower(int32_t power_state) = 0;
};

// The deck's tape transport.
class IAMExtTransport : public virtual Unknown {
  public:
    virtual HResult put_Mode(int32_t mode) = 0;
};

class IMoniker : public virtual Unknown {
  public:
    virtual HResult BindToFilter(Ref<IBaseFilter>& filter) = 0;
    virtual HResult BindToExtDevice(Ref<IAMExtDevice>& device) = 0;
    virtual HResult BindToStorage(Ref<IPropertyBag>& bag) = 0;
};

class IEnumMoniker : public virtual Unknown {
  public:
    // kS_OK with the next moniker, kS_FALSE at the end.
    virtual HResult Next(Ref<IMoniker>& moniker) = 0;
};

class ICreateDevEnum : public virtual Unknown {
  public:
    // kS_OK with an enumerator; kS_FALSE (and none) when the category is empty.
    virtual HResult CreateClassEnumerator(DeviceCategory category, Ref<IEnumMoniker>& monikers,
                                          uint32_t flags) = 0;
};

struct PinInfo {
    Ref<IBaseFilter> filter;
    PinDirection direction = PinDirection::Input;
    std::string name;
};

class IPin : public virtual Unknown {
  public:
    virtual HResult QueryPinInfo(PinInfo& info) = 0;
};

class IEnumPins : public virtual Unknown {
  public:
    // kS_OK with the next pin, kS_FALSE at the end.
    virtual HResult Next(Ref<IPin>& pin) = 0;
};

// What the grabber calls on the framework's streaming thread.
class ISampleGrabberCB : public virtual Unknown {
  public:
    virtual HResult SampleCB(double sample_time, IMediaSample* sample) = 0;
    virtual HResult BufferCB(double sample_time, const uint8_t* buffer, long length) = 0;
};

class ISampleGrabber : public virtual Unknown {
  public:
    virtual HResult SetMediaType(const MediaType& type) = 0;
    virtual HResult SetBufferSamples(bool buffer) = 0;
    virtual HResult SetOneShot(bool one_shot) = 0;
    virtual HResult SetCallback(ISampleGrabberCB* callback, int32_t which) = 0;
};

class IFileSourceFilter : public virtual Unknown {
  public:
    virtual HResult Load(std::string_view path, const MediaType* type) = 0;
};

class IBaseFilter : public virtual Unknown {
  public:
    virtual HResult EnumPins(Ref<IEnumPins>& pins) = 0;
    // kE_NOINTERFACE when the filter does not offer the interface.
    virtual HResult QuerySampleGrabber(Ref<ISampleGrabber>& grabber) = 0;
    virtual HResult QueryFileSource(Ref<IFileSourceFilter>& source) = 0;
};

class IMediaControl : public virtual Unknown {
  public:
    virtual HResult Run() = 0;
    virtual HResult Stop() = 0;
    // Waits up to timeout_ms for a pending change; kVFW_S_STATE_INTERMEDIATE while it is pending.
    virtual HResult GetState(int32_t timeout_ms, FilterState& state) = 0;
};

class IMediaEvent : public virtual Unknown {
  public:
    // kS_OK with the event code (EC_COMPLETE once the source has ended); a failure and code 0
    // when nothing happened within the time-out.
    virtual HResult WaitForCompletion(int32_t timeout_ms, int32_t& event_code) = 0;
};

class IGraphBuilder : public virtual Unknown {
  public:
    // An empty name lets the graph name the filter.
    virtual HResult AddFilter(IBaseFilter* filter, std::string_view name) = 0;
    virtual HResult RemoveFilter(IBaseFilter* filter) = 0;
    // Connects an output pin to an input pin; the graph may put filters in between.
    virtual HResult Connect(IPin* output, IPin* input) = 0;
    virtual HResult QueryMediaControl(Ref<IMediaControl>& control) = 0;
    virtual HResult QueryMediaEvent(Ref<IMediaEvent>& events) = 0;
};

class ICaptureGraphBuilder2 : public virtual Unknown {
  public:
    virtual HResult SetFiltergraph(IGraphBuilder* graph) = 0;
    // The controls offered on the filter's video capture pin.
    virtual HResult FindExtDevice(IBaseFilter* filter, Ref<IAMExtDevice>& device) = 0;
    virtual HResult FindExtTransport(IBaseFilter* filter, Ref<IAMExtTransport>& transport) = 0;
};

// The framework itself: creates the three root objects.
class MediaFramework {
  public:
    virtual ~MediaFramework() = default;
    virtual HResult CreateFilterGraph(Ref<IGraphBuilder>& graph) = 0;
    virtual HResult CreateCaptureGraphBuilder(Ref<ICaptureGraphBuilder2>& builder) = 0;
    virtual HResult CreateSystemDeviceEnum(Ref<ICreateDevEnum>& enumerator) = 0;
};

}  // namespace tessaline
