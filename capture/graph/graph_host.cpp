#include "capture/graph/graph_host.h"

#include <algorithm>

#include "capture/graph/graph_objects.h"

namespace tessaline {

// ---- The device
// ----------------------------------------------------------------------------------

VirtualDeck::VirtualDeck(VirtualDeckConfig config)
    : config_(std::move(config)), power_(config_.power) {}

std::string VirtualDeck::tape_path() const {
    return config_.tape_file.empty() ? config_.file + ".tape" : config_.tape_file;
}

std::vector<DeckCommand> VirtualDeck::commands() const {
    std::lock_guard lock(mu_);
    return commands_;
}

void VirtualDeck::ClearCommands() {
    std::lock_guard lock(mu_);
    commands_.clear();
}

HResult VirtualDeck::GetPower(int32_t& state) {
    if (config_.driver) return config_.driver->GetPower(state);
    state = power_.load();
    return kS_OK;
}

HResult VirtualDeck::SetPower(int32_t state) {
    if (state != ED_POWER_ON && state != ED_POWER_OFF && state != ED_POWER_STANDBY) {
        return kE_INVALIDARG;
    }
    if (config_.driver) {
        const HResult hr = config_.driver->SetPower(state);
        std::lock_guard lock(mu_);
        commands_.push_back({DeckCommand::Kind::Power, state});
        if (hr == kS_OK) power_ = state;
        return hr;
    }
    std::lock_guard lock(mu_);
    commands_.push_back({DeckCommand::Kind::Power, state});
    power_ = state;
    return kS_OK;
}

HResult VirtualDeck::SetMode(int32_t mode) {
    if (config_.driver) {
        const HResult hr = config_.driver->SetMode(mode);
        std::lock_guard lock(mu_);
        commands_.push_back({DeckCommand::Kind::Transport, mode});
        if (hr == kS_OK) mode_ = mode;
        return hr;
    }
    std::lock_guard lock(mu_);
    commands_.push_back({DeckCommand::Kind::Transport, mode});
    mode_ = mode;
    return kS_OK;
}

void VirtualDeck::CountDelivery(size_t bytes) noexcept {
    buffers_.fetch_add(1, std::memory_order_relaxed);
    bytes_.fetch_add(bytes, std::memory_order_relaxed);
}

// ---- Failures
// ------------------------------------------------------------------------------------

HResult GraphSystem::Check(VirtualOp op, std::string_view target) {
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
    ExtDevice(std::shared_ptr<GraphSystem> system, std::shared_ptr<VirtualDeck> deck)
        : system_(std::move(system)), deck_(std::move(deck)) {}

    HResult GetCapability(int32_t capability, int32_t& value) override {
        if (const HResult hr = system_->Check(VirtualOp::GetCapability, Name())) return hr;
        if (capability != ED_DEVCAP_DEVICE_TYPE) return kE_NOTIMPL;
        value = deck_->config().device_type;
        return kS_OK;
    }
    HResult get_DevicePower(int32_t& state) override {
        if (const HResult hr = system_->Check(VirtualOp::GetDevicePower, Name())) return hr;
        return deck_->GetPower(state);
    }
    HResult put_DevicePower(int32_t state) override {
        if (const HResult hr = system_->Check(VirtualOp::PutDevicePower, Name())) return hr;
        return deck_->SetPower(state);
    }

  private:
    std::string Name() const { return deck_->config().friendly_name.value_or(""); }

    std::shared_ptr<GraphSystem> system_;
    std::shared_ptr<VirtualDeck> deck_;
};

class ExtTransport final : public IAMExtTransport {
  public:
    ExtTransport(std::shared_ptr<GraphSystem> system, std::shared_ptr<VirtualDeck> deck)
        : system_(std::move(system)), deck_(std::move(deck)) {}

    HResult put_Mode(int32_t mode) override {
        if (const HResult hr =
                system_->Check(VirtualOp::PutMode, deck_->config().friendly_name.value_or(""))) {
            return hr;
        }
        return deck_->SetMode(mode);
    }

  private:
    std::shared_ptr<GraphSystem> system_;
    std::shared_ptr<VirtualDeck> deck_;
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
    DeviceMoniker(std::shared_ptr<GraphSystem> system, std::shared_ptr<VirtualDeck> deck)
        : system_(std::move(system)), deck_(std::move(deck)) {}

    HResult BindToFilter(Ref<IBaseFilter>& filter) override {
        if (const HResult hr = system_->Check(VirtualOp::BindToFilter, Name())) return hr;
        filter = Ref<IBaseFilter>(new DeckFilter(system_, deck_));
        return kS_OK;
    }
    HResult BindToExtDevice(Ref<IAMExtDevice>& device) override {
        if (const HResult hr = system_->Check(VirtualOp::BindToExtDevice, Name())) return hr;
        if (!deck_->config().offers_ext_device) return kE_NOINTERFACE;
        device = MakeRef<ExtDevice>(system_, deck_);
        return kS_OK;
    }
    HResult BindToStorage(Ref<IPropertyBag>& bag) override {
        if (const HResult hr = system_->Check(VirtualOp::BindToStorage, Name())) return hr;
        const VirtualDeckConfig& c = deck_->config();
        bag = MakeRef<PropertyBag>(c.friendly_name, c.vendor, c.model);
        return kS_OK;
    }

  private:
    std::string Name() const { return deck_->config().friendly_name.value_or(""); }

    std::shared_ptr<GraphSystem> system_;
    std::shared_ptr<VirtualDeck> deck_;
};

class FilterMoniker final : public IMoniker {
  public:
    FilterMoniker(std::shared_ptr<GraphSystem> system, std::string name, VirtualFilterKind kind)
        : system_(std::move(system)), name_(std::move(name)), kind_(kind) {}

    HResult BindToFilter(Ref<IBaseFilter>& filter) override {
        if (const HResult hr = system_->Check(VirtualOp::BindToFilter, name_)) return hr;
        filter = MakeRegisteredFilter(system_, name_, kind_);
        return kS_OK;
    }
    HResult BindToExtDevice(Ref<IAMExtDevice>& /*device*/) override { return kE_NOINTERFACE; }
    HResult BindToStorage(Ref<IPropertyBag>& bag) override {
        if (const HResult hr = system_->Check(VirtualOp::BindToStorage, name_)) return hr;
        bag = MakeRef<PropertyBag>(name_, std::nullopt, std::nullopt);
        return kS_OK;
    }

  private:
    std::shared_ptr<GraphSystem> system_;
    std::string name_;
    VirtualFilterKind kind_;
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
        if (const HResult hr = system_->Check(VirtualOp::CreateClassEnumerator)) return hr;
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
        if (const HResult hr = system_->Check(VirtualOp::SetFiltergraph)) return hr;
        if (graph == nullptr) return kE_POINTER;
        graph_ = Ref<IGraphBuilder>(graph);
        return kS_OK;
    }
    HResult FindExtDevice(IBaseFilter* filter, Ref<IAMExtDevice>& device) override {
        if (const HResult hr = system_->Check(VirtualOp::FindExtDevice)) return hr;
        auto* deck = dynamic_cast<DeckFilter*>(filter);
        if (deck == nullptr || !deck->deck->config().has_power_control) return kE_NOINTERFACE;
        device = MakeRef<ExtDevice>(system_, deck->deck);
        return kS_OK;
    }
    HResult FindExtTransport(IBaseFilter* filter, Ref<IAMExtTransport>& transport) override {
        if (const HResult hr = system_->Check(VirtualOp::FindExtTransport)) return hr;
        auto* deck = dynamic_cast<DeckFilter*>(filter);
        if (deck == nullptr || !deck->deck->config().has_transport_control) {
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
        RegisterFilter(kFileSourceName, VirtualFilterKind::FileSource);
        RegisterFilter(kSourcePacketConverterName, VirtualFilterKind::SourcePacketConverter);
        RegisterFilter(kSampleGrabberName, VirtualFilterKind::SampleGrabber);
    }
}

GraphHost::~GraphHost() = default;

std::shared_ptr<VirtualDeck> GraphHost::AddDeck(VirtualDeckConfig config) {
    auto deck = std::make_shared<VirtualDeck>(std::move(config));
    std::lock_guard lock(system_->mu);
    system_->inputs.push_back(deck);
    return deck;
}

std::vector<std::shared_ptr<VirtualDeck>> GraphHost::Decks() const {
    std::lock_guard lock(system_->mu);
    return system_->inputs;
}

void GraphHost::RegisterFilter(std::string name, VirtualFilterKind kind) {
    std::lock_guard lock(system_->mu);
    system_->filters.push_back({std::move(name), kind});
}

void GraphHost::Fail(VirtualOp op, HResult code, int times, std::string target) {
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
    if (const HResult hr = system_->Check(VirtualOp::CreateFilterGraph)) return hr;
    graph = Ref<IGraphBuilder>(new HostGraph(system_));
    return kS_OK;
}

HResult GraphHost::CreateCaptureGraphBuilder(Ref<ICaptureGraphBuilder2>& builder) {
    if (const HResult hr = system_->Check(VirtualOp::CreateCaptureGraphBuilder)) return hr;
    builder = MakeRef<CaptureBuilder>(system_);
    return kS_OK;
}

HResult GraphHost::CreateSystemDeviceEnum(Ref<ICreateDevEnum>& enumerator) {
    if (const HResult hr = system_->Check(VirtualOp::CreateSystemDeviceEnum)) return hr;
    enumerator = MakeRef<DeviceEnumerator>(system_);
    return kS_OK;
}

}  // namespace tessaline
