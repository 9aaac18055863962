#include "capture/graph/graph_host.h"

#include <algorithm>

#include "capture/graph/graph_objects.h"

namespace tessaline {

// ---- Failures
// ------------------------------------------------------------------------------------

HResult GraphSystem::Check(GraphOp op, std::string_view target) {
    std::lock_guard lock(mu);
    for (auto it = failures.begin(); it != failures.end(); ++it) {
        if (it->op != op || (!it->target.empty() && it->target != target)) continue;
        const HResult code = it->code;
        if (it->remaining > 0 && --it->remaining == 0) failures.erase(it);
        return code;
    }
    return kS_OK;
}

namespace {

// ---- Device controls
// -----------------------------------------------------------------------------

class ExtDevice final : public IAMExtDevice {
  public:
    ExtDevice(std::shared_ptr<GraphSystem> system, std::shared_ptr<const HostDeck> deck)
        : system_(std::move(system)), deck_(std::move(deck)) {}

    HResult GetCapability(int32_t capability, int32_t& value) override {
        if (const HResult hr = system_->Check(GraphOp::GetCapability, deck_->name())) return hr;
        if (capability != ED_DEVCAP_DEVICE_TYPE) return kE_NOTIMPL;
        value = deck_->listing.device_type;
        return kS_OK;
    }
    HResult get_DevicePower(int32_t& state) override {
        if (const HResult hr = system_->Check(GraphOp::GetDevicePower, deck_->name())) return hr;
        return deck_->driver->GetPower(state);
    }
    HResult put_DevicePower(int32_t state) override {
        if (const HResult hr = system_->Check(GraphOp::PutDevicePower, deck_->name())) return hr;
        return deck_->driver->SetPower(state);
    }

  private:
    std::shared_ptr<GraphSystem> system_;
    std::shared_ptr<const HostDeck> deck_;
};

class ExtTransport final : public IAMExtTransport {
  public:
    ExtTransport(std::shared_ptr<GraphSystem> system, std::shared_ptr<const HostDeck> deck)
        : system_(std::move(system)), deck_(std::move(deck)) {}

    HResult put_Mode(int32_t mode) override {
        if (const HResult hr = system_->Check(GraphOp::PutMode, deck_->name())) return hr;
        return deck_->driver->SetMode(mode);
    }

  private:
    std::shared_ptr<GraphSystem> system_;
    std::shared_ptr<const HostDeck> deck_;
};

// ---- Enumeration
// ---------------------------------------------------------------------------------

class PropertyBag final : public IPropertyBag {
  public:
    PropertyBag(std::optional<std::string> friendly, std::optional<std::string> vendor,
                std::optional<std::string> model)
        : friendly_(std::move(friendly)), vendor_(std::move(vendor)), model_(std::move(model)) {}

    HResult Read(std::string_view property, std::string& value) override {
        const std::optional<std::string>* field = nullptr;
        if (property == "FriendlyName") field = &friendly_;
        if (property == "VendorText") field = &vendor_;
        if (property == "ModelText") field = &model_;
        if (field == nullptr || !field->has_value()) return kE_INVALIDARG;
        value = **field;
        return kS_OK;
    }

  private:
    std::optional<std::string> friendly_, vendor_, model_;
};

class DeviceMoniker final : public IMoniker {
  public:
    DeviceMoniker(std::shared_ptr<GraphSystem> system, std::shared_ptr<const HostDeck> deck)
        : system_(std::move(system)), deck_(std::move(deck)) {}

    HResult BindToFilter(Ref<IBaseFilter>& filter) override {
        if (const HResult hr = system_->Check(GraphOp::BindToFilter, deck_->name())) return hr;
        filter = Ref<IBaseFilter>(new DeckFilter(system_, deck_));
        return kS_OK;
    }
    HResult BindToExtDevice(Ref<IAMExtDevice>& device) override {
        if (const HResult hr = system_->Check(GraphOp::BindToExtDevice, deck_->name())) return hr;
        if (!deck_->listing.offers_ext_device) return kE_NOINTERFACE;
        device = MakeRef<ExtDevice>(system_, deck_);
        return kS_OK;
    }
    HResult BindToStorage(Ref<IPropertyBag>& bag) override {
        if (const HResult hr = system_->Check(GraphOp::BindToStorage, deck_->name())) return hr;
        const DeckListing& l = deck_->listing;
        bag = MakeRef<PropertyBag>(l.friendly_name, l.vendor, l.model);
        return kS_OK;
    }

  private:
    std::shared_ptr<GraphSystem> system_;
    std::shared_ptr<const HostDeck> deck_;
};

class FilterMoniker final : public IMoniker {
  public:
    FilterMoniker(std::shared_ptr<GraphSystem> system, std::string name, FilterKind kind)
        : system_(std::move(system)), name_(std::move(name)), kind_(kind) {}

    HResult BindToFilter(Ref<IBaseFilter>& filter) override {
        if (const HResult hr = system_->Check(GraphOp::BindToFilter, name_)) return hr;
        filter = MakeRegisteredFilter(system_, name_, kind_);
        return kS_OK;
    }
    HResult BindToExtDevice(Ref<IAMExtDevice>& /*device*/) override { return kE_NOINTERFACE; }
    HResult BindToStorage(Ref<IPropertyBag>& bag) override {
        if (const HResult hr = system_->Check(GraphOp::BindToStorage, name_)) return hr;
        bag = MakeRef<PropertyBag>(name_, std::nullopt, std::nullopt);
        return kS_OK;
    }

  private:
    std::shared_ptr<GraphSystem> system_;
    std::string name_;
    FilterKind kind_;
};

class MonikerList final : public IEnumMoniker {
  public:
    explicit MonikerList(std::vector<Ref<IMoniker>> monikers) : monikers_(std::move(monikers)) {}

    HResult Next(Ref<IMoniker>& moniker) override {
        if (next_ >= monikers_.size()) {
            moniker.reset();
            return kS_FALSE;
        }
        moniker = monikers_[next_++];
        return kS_OK;
    }

  private:
    std::vector<Ref<IMoniker>> monikers_;
    size_t next_ = 0;
};

class DeviceEnumerator final : public ICreateDevEnum {
  public:
    explicit DeviceEnumerator(std::shared_ptr<GraphSystem> system) : system_(std::move(system)) {}

    HResult CreateClassEnumerator(DeviceCategory category, Ref<IEnumMoniker>& monikers,
                                  uint32_t /*flags*/) override {
        if (const HResult hr = system_->Check(GraphOp::CreateClassEnumerator)) return hr;
        std::vector<Ref<IMoniker>> list;
        {
            std::lock_guard lock(system_->mu);
            if (category == DeviceCategory::VideoInputDevice) {
                for (const auto& deck : system_->inputs) {
                    list.push_back(MakeRef<DeviceMoniker>(system_, deck));
                }
            } else {
                for (const auto& f : system_->filters) {
                    list.push_back(MakeRef<FilterMoniker>(system_, f.name, f.kind));
                }
            }
        }
        // As the real enumerator does, an empty category gives no enumerator at all.
        if (list.empty()) {
            monikers.reset();
            return kS_FALSE;
        }
        monikers = MakeRef<MonikerList>(std::move(list));
        return kS_OK;
    }

  private:
    std::shared_ptr<GraphSystem> system_;
};

class CaptureBuilder final : public ICaptureGraphBuilder2 {
  public:
    explicit CaptureBuilder(std::shared_ptr<GraphSystem> system) : system_(std::move(system)) {}

    HResult SetFiltergraph(IGraphBuilder* graph) override {
        if (const HResult hr = system_->Check(GraphOp::SetFiltergraph)) return hr;
        if (graph == nullptr) return kE_POINTER;
        graph_ = Ref<IGraphBuilder>(graph);
        return kS_OK;
    }
    HResult FindExtDevice(IBaseFilter* filter, Ref<IAMExtDevice>& device) override {
        if (const HResult hr = system_->Check(GraphOp::FindExtDevice)) return hr;
        auto* deck = dynamic_cast<DeckFilter*>(filter);
        if (deck == nullptr || !deck->deck->listing.has_power_control) return kE_NOINTERFACE;
        device = MakeRef<ExtDevice>(system_, deck->deck);
        return kS_OK;
    }
    HResult FindExtTransport(IBaseFilter* filter, Ref<IAMExtTransport>& transport) override {
        if (const HResult hr = system_->Check(GraphOp::FindExtTransport)) return hr;
        auto* deck = dynamic_cast<DeckFilter*>(filter);
        if (deck == nullptr || !deck->deck->listing.has_transport_control) {
            return kE_NOINTERFACE;
        }
        transport = MakeRef<ExtTransport>(system_, deck->deck);
        return kS_OK;
    }

  private:
    std::shared_ptr<GraphSystem> system_;
    Ref<IGraphBuilder> graph_;
};

}  // namespace

// ---- The framework
// -------------------------------------------------------------------------------

GraphHost::GraphHost(bool standard_filters) : system_(std::make_shared<GraphSystem>()) {
    if (standard_filters) {
        RegisterFilter(kFileSourceName, FilterKind::FileSource);
        RegisterFilter(kSourcePacketConverterName, FilterKind::SourcePacketConverter);
        RegisterFilter(kSampleGrabberName, FilterKind::SampleGrabber);
    }
}

GraphHost::~GraphHost() = default;

void GraphHost::AddDriver(std::shared_ptr<DeckDriver> driver) {
    auto deck = std::make_shared<HostDeck>();
    deck->listing = driver->Listing();
    deck->driver = std::move(driver);
    std::lock_guard lock(system_->mu);
    system_->inputs.push_back(std::move(deck));
}

std::vector<std::shared_ptr<DeckDriver>> GraphHost::Decks() const {
    std::vector<std::shared_ptr<DeckDriver>> decks;
    std::lock_guard lock(system_->mu);
    for (const auto& deck : system_->inputs) decks.push_back(deck->driver);
    return decks;
}

void GraphHost::RegisterFilter(std::string name, FilterKind kind) {
    std::lock_guard lock(system_->mu);
    system_->filters.push_back({std::move(name), kind});
}

void GraphHost::Fail(GraphOp op, HResult code, int times, std::string target) {
    if (times == 0) return;
    std::lock_guard lock(system_->mu);
    system_->failures.push_back({op, code, times < 0 ? -1 : times, std::move(target)});
}

void GraphHost::ClearFailures() {
    std::lock_guard lock(system_->mu);
    system_->failures.clear();
}

GraphSnapshot GraphHost::LatestGraph() const {
    HostGraph* graph = nullptr;
    {
        std::lock_guard lock(system_->mu);
        if (!system_->graphs.empty()) graph = system_->graphs.back();
    }
    return graph != nullptr ? graph->Snapshot() : GraphSnapshot{};
}

int GraphHost::GraphsCreated() const {
    std::lock_guard lock(system_->mu);
    return system_->graphs_created;
}

int GraphHost::GraphsAlive() const {
    std::lock_guard lock(system_->mu);
    return static_cast<int>(system_->graphs.size());
}

HResult GraphHost::CreateFilterGraph(Ref<IGraphBuilder>& graph) {
    if (const HResult hr = system_->Check(GraphOp::CreateFilterGraph)) return hr;
    graph = Ref<IGraphBuilder>(new HostGraph(system_));
    return kS_OK;
}

HResult GraphHost::CreateCaptureGraphBuilder(Ref<ICaptureGraphBuilder2>& builder) {
    if (const HResult hr = system_->Check(GraphOp::CreateCaptureGraphBuilder)) return hr;
    builder = MakeRef<CaptureBuilder>(system_);
    return kS_OK;
}

HResult GraphHost::CreateSystemDeviceEnum(Ref<ICreateDevEnum>& enumerator) {
    if (const HResult hr = system_->Check(GraphOp::CreateSystemDeviceEnum)) return hr;
    enumerator = MakeRef<DeviceEnumerator>(system_);
    return kS_OK;
}

}  // namespace tessaline
