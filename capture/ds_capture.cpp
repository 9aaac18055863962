#include "capture/ds_capture.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "capture/message_sink.h"
#include "capture/sample_grabber_cb.h"
#include "stream/stream_context.h"

namespace tessaline {
namespace {

// How long one GetState call may block while the controller waits for a state.
constexpr int32_t kStatePollMs = 10;

std::string ReadProperty(IPropertyBag* bag, std::string_view property) {
    std::string value;
    if (bag == nullptr || bag->Read(property, value) != kS_OK) return {};
    return value;
}

}  // namespace

CDSCapture::CDSCapture(MediaFramework& framework, MessageSink& messages, StreamContext& stream,
                       CaptureDataPath& data_path)
    : framework_(framework), messages_(messages), stream_(stream), data_path_(data_path) {}

CDSCapture::~CDSCapture() {
    // A graph still running would go on calling into a data path its owner is about to free.
    if (media_control_) StopQuietly();
    ReleaseAll();
}

void CDSCapture::SetWaitLimits(std::chrono::milliseconds state,
                               std::chrono::milliseconds callback) {
    state_limit_ = state;
    callback_limit_ = callback;
}

// ---- Lists
// ---------------------------------------------------------------------------------------

bool CDSCapture::EnumerateDevices() {
    if (framework_.CreateFilterGraph(graph_) != kS_OK || !graph_) {
        graph_.reset();
        return false;
    }
    if (framework_.CreateCaptureGraphBuilder(builder_) != kS_OK || !builder_) {
        builder_.reset();
        return false;
    }
    builder_->SetFiltergraph(graph_.get());

    Ref<ICreateDevEnum> devices;
    if (framework_.CreateSystemDeviceEnum(devices) != kS_OK || !devices) {
        return !device_list_.empty();
    }

    Ref<IEnumMoniker> decks;
    if (devices->CreateClassEnumerator(DeviceCategory::VideoInputDevice, decks, 0) == kS_OK &&
        decks) {
        int unnamed = 1;
        Ref<IMoniker> moniker;
        while (decks->Next(moniker) == kS_OK) {
            if (device_list_.size() >= kMaxDevices) break;
            if (!moniker) continue;
            Ref<IAMExtDevice> device;
            if (moniker->BindToExtDevice(device) != kS_OK || !device) continue;
            int32_t type = 0;
            // Only tape decks; cameras and tuners never appear.
            if (device->GetCapability(ED_DEVCAP_DEVICE_TYPE, type) != kS_OK ||
                type != ED_DEVTYPE_VCR) {
                continue;
            }
            Ref<IPropertyBag> bag;
            if (moniker->BindToStorage(bag) != kS_OK) bag.reset();
            const std::string vendor = ReadProperty(bag.get(), "VendorText");
            const std::string model = ReadProperty(bag.get(), "ModelText");
            const std::string friendly = ReadProperty(bag.get(), "FriendlyName");
            std::string name;
            if (vendor.empty() && model.empty()) {
                name = friendly + " (Unknown Video #" + std::to_string(unnamed) + ")";
                ++unnamed;
            } else {
                std::string prefix = friendly;
                prefix.append(" (").append(vendor).append(" ").append(model);
                const auto same = std::count_if(
                    device_list_.begin(), device_list_.end(),
                    [&](const TCapDeviceInfo& e) { return e.Name.starts_with(prefix); });
                name = prefix + " #" + std::to_string(same + 1) + ")";
            }
            device_list_.push_back({std::move(name), moniker});
        }
    }

    Ref<IEnumMoniker> filters;
    if (devices->CreateClassEnumerator(DeviceCategory::LegacyAmFilter, filters, 0) == kS_OK &&
        filters) {
        Ref<IMoniker> moniker;
        while (filters->Next(moniker) == kS_OK) {
            if (!moniker) continue;
            Ref<IPropertyBag> bag;
            if (moniker->BindToStorage(bag) != kS_OK) bag.reset();
            // A filter whose name cannot be read can never be asked for by name; listing it as ""
            // would end every walk over the list (the empty name marks its end) before the
            // filters behind it.
            std::string name = ReadProperty(bag.get(), "FriendlyName");
            if (name.empty()) continue;
            filter_list_.push_back({std::move(name), moniker});
        }
    }
    return !device_list_.empty();
}

std::string CDSCapture::NextDeviceName() {
    if (device_position_ < device_list_.size()) return device_list_[device_position_++].Name;
    device_position_ = 0;
    return {};
}

std::string CDSCapture::NextFilterName() {
    if (filter_position_ < filter_list_.size()) return filter_list_[filter_position_++].Name;
    filter_position_ = 0;
    return {};
}

std::string CDSCapture::SelectedDeviceName() const {
    return selected_moniker_ ? selected_name_ : std::string();
}

// ---- The deck's graph
// ----------------------------------------------------------------------------

bool CDSCapture::SelectDevice(int index) {
    Ref<IMoniker> moniker;
    std::string name;
    if (index >= 0 && static_cast<size_t>(index) < device_list_.size()) {
        moniker = device_list_[static_cast<size_t>(index)].Moniker;
        name = device_list_[static_cast<size_t>(index)].Name;
    }
    if (moniker == selected_moniker_) return false;
    selected_moniker_ = moniker;
    selected_name_ = std::move(name);
    ReleaseGraph();
    return BuildDeviceGraph();
}

bool CDSCapture::BuildDeviceGraph() {
    if (!builder_) {
        if (framework_.CreateCaptureGraphBuilder(builder_) != kS_OK || !builder_) {
            builder_.reset();
            return ShowError("Cannot instantiate graph builder", 0);
        }
    }
    device_filter_.reset();
    HResult bind = 0;
    if (selected_moniker_) {
        bind = selected_moniker_->BindToFilter(device_filter_);
        if (bind != kS_OK) device_filter_.reset();
    }
    if (!device_filter_) ShowError("Error %x: Cannot create video capture filter", bind);

    if (!graph_) {
        if (framework_.CreateFilterGraph(graph_) != kS_OK || !graph_) {
            graph_.reset();
            ShowError("Cannot instantiate filtergraph", 0);
            ReleaseGraph();
            return false;
        }
    }
    if (builder_->SetFiltergraph(graph_.get()) != kS_OK) {
        ShowError("Cannot give graph to builder", 0);
        ReleaseGraph();
        return false;
    }
    HResult hr = graph_->AddFilter(device_filter_.get(), {});
    if (hr != kS_OK) ShowError("Error %x: Cannot add vidcap to filtergraph", hr);
    hr = graph_->QueryMediaControl(media_control_);
    if (hr != kS_OK) {
        media_control_.reset();
        ShowError("Error %x: Cannot use mediacontrol", hr);
    }
    // Without the deck's filter nothing can be recorded or written: the deck is not ready, and
    // the record button stays off instead of doing nothing when pressed.
    return static_cast<bool>(device_filter_);
}

void CDSCapture::ReleaseGraph() {
    ClearAddedFilters();
    if (graph_ && device_filter_) graph_->RemoveFilter(device_filter_.get());
    media_control_.reset();
    device_filter_.reset();
    // A released graph has ended its streaming thread (the framework waits for it), so nothing
    // runs any more, even when a stop had not got through.
    graph_.reset();
    builder_.reset();
    may_run_ = false;
}

void CDSCapture::ReleaseAll() {
    ReleaseGraph();
    added_filters_.shrink_to_fit();
    added_names_.shrink_to_fit();
    added_in_graph_.shrink_to_fit();
    added_storage_ = false;
    callback_.reset();
}

// ---- The chain of added filters
// ------------------------------------------------------------------

bool CDSCapture::AddFilterByName(std::string name) {
    if (!name.empty() && name.front() == '&') name.erase(0, 1);
    Ref<IMoniker> moniker;
    for (const TCapDeviceInfo& entry : filter_list_) {
        if (entry.Name == name) moniker = entry.Moniker;  // the last match wins
    }
    for (const Ref<IMoniker>& added : added_monikers_) {
        if (added == moniker) return ShowError("", 0, name + "is already added");
    }
    added_monikers_.push_back(moniker);
    if (!moniker) return false;

    const size_t count = added_monikers_.size();
    added_filters_.resize(count);
    added_names_.resize(count);
    added_in_graph_.resize(count, false);
    added_storage_ = true;

    Ref<IBaseFilter> filter;
    const HResult bind = moniker->BindToFilter(filter);
    if (bind != kS_OK || !filter) return ShowError("Error %x: Cannot find ", bind, name);
    added_filters_[count - 1] = filter;
    if (!graph_ || !device_filter_) return false;

    const HResult hr = graph_->AddFilter(filter.get(), name);
    if (hr != kS_OK) return ShowError("Error %x: Cannot add ", hr, name + "to graph");
    added_in_graph_[count - 1] = true;
    ++filters_in_graph_;
    added_names_[count - 1] = name;
    return true;
}

bool CDSCapture::ConnectChain(bool device_first) {
    if (!graph_) return false;
    const size_t count = added_monikers_.size();
    auto added = [&](size_t k) -> IBaseFilter* {
        return k < added_filters_.size() ? added_filters_[k].get() : nullptr;
    };
    auto added_name = [&](size_t k) {
        return k < added_names_.size() ? added_names_[k] : std::string();
    };

    for (size_t i = 0; i < count; ++i) {
        IBaseFilter* upstream = nullptr;
        IBaseFilter* downstream = nullptr;
        std::string downstream_name;
        if (device_first) {
            upstream = i == 0 ? device_filter_.get() : added(i - 1);
            downstream = added(i);
            downstream_name = added_name(i);
        } else {
            upstream = added(i);
            if (i + 1 < count) {
                downstream = added(i + 1);
                downstream_name = added_name(i + 1);
            } else {
                // The deck has no added name; its list name says which device would not connect.
                downstream = device_filter_.get();
                downstream_name = selected_name_;
            }
        }

        Ref<IEnumPins> upstream_pins;
        if (upstream == nullptr) return ShowError("Error : Cannot connect ", 0, added_name(i));
        if (!Succeeded(upstream->EnumPins(upstream_pins)) || !upstream_pins) return false;

        bool any_pin = false;
        Ref<IPin> output;
        while (upstream_pins->Next(output) == kS_OK && output) {
            any_pin = true;
            PinInfo out_info;
            if (output->QueryPinInfo(out_info) != kS_OK) continue;
            if (out_info.direction != PinDirection::Output) continue;
            Ref<IEnumPins> downstream_pins;
            if (downstream == nullptr || !Succeeded(downstream->EnumPins(downstream_pins)) ||
                !downstream_pins) {
                continue;
            }
            Ref<IPin> input;
            while (downstream_pins->Next(input) == kS_OK && input) {
                PinInfo in_info;
                if (input->QueryPinInfo(in_info) != kS_OK) continue;
                if (in_info.direction != PinDirection::Input) continue;
                const HResult hr = graph_->Connect(output.get(), input.get());
                if (hr != kS_OK) {
                    return ShowError("Error %x: Cannot connect ", hr, downstream_name + " ");
                }
            }
        }
        if (!any_pin) return ShowError("Error : Cannot connect ", 0, added_name(i));
    }
    return true;
}

void CDSCapture::ClearAddedFilters() {
    added_monikers_.clear();
    for (size_t i = 0; i < added_filters_.size(); ++i) {
        if (added_in_graph_[i] && graph_) graph_->RemoveFilter(added_filters_[i].get());
    }
    added_filters_.clear();
    added_names_.clear();
    added_in_graph_.clear();
    filters_in_graph_ = 0;
}

// ---- Running and stopping
// ------------------------------------------------------------------------

HResult CDSCapture::WaitForState(FilterState target) {
    const auto deadline = std::chrono::steady_clock::now() + state_limit_;
    for (;;) {
        auto state = static_cast<FilterState>(-1);
        const HResult hr = media_control_->GetState(kStatePollMs, state);
        if (hr == kS_OK && state == target) return kS_OK;
        if (std::chrono::steady_clock::now() >= deadline) {
            // A graph that cannot say its state reports why; one that is merely slow, the time-out.
            return Succeeded(hr) ? kE_TIMEOUT : hr;
        }
        // A failing call may return at once; do not spin on it.
        if (hr != kVFW_S_STATE_INTERMEDIATE) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

CDSCapture::Wait CDSCapture::WaitForCallbackIdle() {
    const auto deadline = std::chrono::steady_clock::now() + callback_limit_;
    int spins = 0;
    while (stream_.CallbackBusy.load(std::memory_order_acquire)) {
        if (std::chrono::steady_clock::now() >= deadline) return Wait::TimedOut;
        if (++spins < 100) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    return Wait::Reached;
}

bool CDSCapture::StopQuietly() {
    if (!media_control_ || media_control_->Stop() != kS_OK) return false;
    if (WaitForState(FilterState::Stopped) != kS_OK) return false;
    if (WaitForCallbackIdle() != Wait::Reached) return false;
    may_run_ = false;
    return true;
}

bool CDSCapture::RunGraph() {
    if (!media_control_) return false;
    may_run_ = true;
    HResult hr = media_control_->Run();
    if (hr == kS_OK) hr = WaitForState(FilterState::Running);
    if (hr == kS_OK) return true;
    // Part of the graph may run anyway; stop it here, once, so no buffer arrives unexpected.
    // Whether that worked, GraphMayRun() tells; the failure is reported once.
    StopQuietly();
    return ShowError("Error %x: Cannot start capture", hr);
}

bool CDSCapture::StopGraph() {
    if (!media_control_) return false;
    HResult hr = media_control_->Stop();
    if (hr == kS_OK) hr = WaitForState(FilterState::Stopped);
    if (hr == kS_OK && WaitForCallbackIdle() == Wait::TimedOut) hr = kE_TIMEOUT;
    if (hr != kS_OK) return ShowError("Error %x: Cannot stop capture", hr);
    may_run_ = false;
    return true;
}

bool CDSCapture::ShowError(std::string_view format, HResult code, std::string_view tail) {
    std::string text;
    const size_t at = format.find("%x");
    if (at == std::string_view::npos) {
        text = format;
    } else {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%X", static_cast<uint32_t>(code));
        text.append(format.substr(0, at)).append(hex).append(format.substr(at + 2));
    }
    text.append(tail);
    messages_.ShowError("", text);
    return false;
}

// ---- Writing to the deck
// -------------------------------------------------------------------------

bool CDSCapture::SetSourceFile(const std::string& path) {
    if (!added_storage_) return false;
    Ref<IFileSourceFilter> source;
    const size_t count = std::min(added_monikers_.size(), added_filters_.size());
    for (size_t i = 0; i < count && !source; ++i) {
        if (!added_filters_[i] || added_filters_[i]->QueryFileSource(source) != kS_OK) {
            source.reset();
        }
    }
    if (!source) return ShowError("Error : Cannot find IFileSourceFilter", 0);
    const HResult hr = source->Load(path, nullptr);
    if (hr != kS_OK) return ShowError("Error %x: Cannot set filename", hr);
    return true;
}

int32_t CDSCapture::PollCompletion() {
    if (!graph_) return 0;
    Ref<IMediaEvent> events;
    if (graph_->QueryMediaEvent(events) != kS_OK || !events) return 0;
    int32_t code = 0;
    if (events->WaitForCompletion(0, code) != kS_OK) return 0;
    return code;
}

}  // namespace tessaline
