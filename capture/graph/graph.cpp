// The graph host's filters, pins and graph, and the streaming thread that runs a deck driver's
// capture or playback.
#include <algorithm>
#include <cstdio>
#include <memory>

#include "capture/graph/graph_objects.h"

namespace tessaline {
namespace {

// How long a new run waits for the previous run's streaming thread to end.
constexpr auto kReleaseWait = std::chrono::seconds(5);

class PinEnum final : public IEnumPins {
  public:
    explicit PinEnum(HostFilter& filter) : filter_(&filter) {}

    HResult Next(Ref<IPin>& pin) override {
        if (next_ >= filter_->pins.size()) {
            pin.reset();
            return kS_FALSE;
        }
        pin = Ref<IPin>(filter_->pins[next_++].get());
        return kS_OK;
    }

  private:
    Ref<HostFilter> filter_;
    size_t next_ = 0;
};

bool MediaAgree(PinMedia out, PinMedia in) {
    return out == in || out == PinMedia::Any || in == PinMedia::Any;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// A one-shot grabber passes on the first buffer and then ends the stream, as a source that ended
// would; whatever the deck delivers meanwhile goes nowhere.
class OneShotCallback final : public ISampleGrabberCB {
  public:
    OneShotCallback(Ref<ISampleGrabberCB> inner, StopSignal& stop)
        : inner_(std::move(inner)), stop_(stop) {}

    HResult SampleCB(double sample_time, IMediaSample* sample) override {
        return inner_->SampleCB(sample_time, sample);
    }
    HResult BufferCB(double sample_time, const uint8_t* buffer, long length) override {
        if (taken_) return kS_OK;
        taken_ = true;
        const HResult hr = inner_->BufferCB(sample_time, buffer, length);
        stop_.Raise();
        return hr;
    }
    // Only the streaming thread calls back, so a plain flag will do.
    bool taken() const noexcept { return taken_; }

  private:
    Ref<ISampleGrabberCB> inner_;
    StopSignal& stop_;
    bool taken_ = false;
};

int32_t CaptureLoop(StreamShared& shared, const StreamJob& job) {
    if (!job.callback) return 0;
    if (!job.one_shot) return job.deck->Capture(*job.callback, shared.signal);
    auto once = MakeRef<OneShotCallback>(job.callback, shared.signal);
    const int32_t event = job.deck->Capture(*once, shared.signal);
    return once->taken() ? EC_COMPLETE : event;
}

void RunStream(const std::shared_ptr<StreamShared>& shared, const StreamJob& job) {
    int32_t event = 0;
    try {
        event = job.kind == StreamJob::Kind::Capture
                    ? CaptureLoop(*shared, job)
                    : job.deck->Playback(job.source, shared->signal);
    } catch (...) {
        event = EC_ERRORABORT;
    }
    {
        std::lock_guard lock(shared->mu);
        shared->finished = true;
        if (event != 0) shared->event = event;
    }
    shared->cv.notify_all();
}

}  // namespace

// ---- Pins and filters
// ----------------------------------------------------------------------------

uint32_t HostPin::AddRef() noexcept {
    return owner.AddRef();
}
uint32_t HostPin::Release() noexcept {
    return owner.Release();
}

HResult HostPin::QueryPinInfo(PinInfo& info) {
    if (const HResult hr = owner.system->Check(GraphOp::QueryPinInfo, owner.name)) return hr;
    info.filter = Ref<IBaseFilter>(&owner);
    info.direction = direction;
    info.name = name;
    return kS_OK;
}

HostFilter::HostFilter(std::shared_ptr<GraphSystem> system, std::string name)
    : system(std::move(system)), name(std::move(name)) {}

HostFilter::~HostFilter() {
    for (auto& pin : pins) {
        if (pin->peer != nullptr) pin->peer->peer = nullptr;
    }
}

HResult HostFilter::EnumPins(Ref<IEnumPins>& list) {
    if (const HResult hr = system->Check(GraphOp::EnumPins, name)) return hr;
    list = MakeRef<PinEnum>(*this);
    return kS_OK;
}

HResult HostFilter::QuerySampleGrabber(Ref<ISampleGrabber>& /*grabber*/) {
    return kE_NOINTERFACE;
}

HResult HostFilter::QueryFileSource(Ref<IFileSourceFilter>& /*source*/) {
    return kE_NOINTERFACE;
}

HostPin* HostFilter::AddPin(PinDirection direction, std::string pin_name, PinMedia media) {
    pins.push_back(std::make_unique<HostPin>(*this, direction, std::move(pin_name), media));
    return pins.back().get();
}

HostFilter* HostFilter::Neighbour(PinDirection direction) const {
    for (const auto& pin : pins) {
        if (pin->direction == direction) return pin->peer ? &pin->peer->owner : nullptr;
    }
    return nullptr;
}

DeckFilter::DeckFilter(std::shared_ptr<GraphSystem> system, std::shared_ptr<const HostDeck> deck)
    : HostFilter(std::move(system), deck->listing.friendly_name.value_or("Deck")),
      deck(std::move(deck)) {
    AddPin(PinDirection::Output, "Capture", PinMedia::CaptureTs);
    AddPin(PinDirection::Input, "Input", PinMedia::SourcePackets);
}

GrabberFilter::GrabberFilter(std::shared_ptr<GraphSystem> system, std::string name)
    : HostFilter(std::move(system), std::move(name)) {
    AddPin(PinDirection::Input, "Input", PinMedia::Any);
    AddPin(PinDirection::Output, "Output", PinMedia::Any);
}

HResult GrabberFilter::QuerySampleGrabber(Ref<ISampleGrabber>& grabber) {
    grabber = Ref<ISampleGrabber>(this);
    return kS_OK;
}

HResult GrabberFilter::SetMediaType(const MediaType& type) {
    if (const HResult hr = system->Check(GraphOp::SetMediaType, name)) return hr;
    std::lock_guard lock(mu_);
    type_ = type;
    return kS_OK;
}

HResult GrabberFilter::SetBufferSamples(bool buffer) {
    std::lock_guard lock(mu_);
    buffer_samples_ = buffer;
    return kS_OK;
}

HResult GrabberFilter::SetOneShot(bool one_shot) {
    std::lock_guard lock(mu_);
    one_shot_ = one_shot;
    return kS_OK;
}

HResult GrabberFilter::SetCallback(ISampleGrabberCB* callback, int32_t which) {
    if (const HResult hr = system->Check(GraphOp::SetCallback, name)) return hr;
    if (which != kGrabberBufferCallback && callback != nullptr) return kE_NOTIMPL;
    std::lock_guard lock(mu_);
    callback_ = Ref<ISampleGrabberCB>(callback);
    return kS_OK;
}

Ref<ISampleGrabberCB> GrabberFilter::callback() const {
    std::lock_guard lock(mu_);
    return callback_;
}

bool GrabberFilter::one_shot() const {
    std::lock_guard lock(mu_);
    return one_shot_;
}

FileSourceFilter::FileSourceFilter(std::shared_ptr<GraphSystem> system, std::string name)
    : HostFilter(std::move(system), std::move(name)) {
    AddPin(PinDirection::Output, "Output", PinMedia::FileTs);
}

HResult FileSourceFilter::QueryFileSource(Ref<IFileSourceFilter>& source) {
    source = Ref<IFileSourceFilter>(this);
    return kS_OK;
}

HResult FileSourceFilter::Load(std::string_view file, const MediaType* /*type*/) {
    if (const HResult hr = system->Check(GraphOp::Load, name)) return hr;
    const std::string candidate(file);
    File probe(std::fopen(candidate.c_str(), "rb"));
    if (!probe) return kE_FILE_NOT_FOUND;
    path = candidate;
    return kS_OK;
}

ConverterFilter::ConverterFilter(std::shared_ptr<GraphSystem> system, std::string name)
    : HostFilter(std::move(system), std::move(name)) {
    AddPin(PinDirection::Input, "Input", PinMedia::FileTs);
    AddPin(PinDirection::Output, "Output", PinMedia::SourcePackets);
}

Ref<HostFilter> MakeRegisteredFilter(const std::shared_ptr<GraphSystem>& system,
                                     const std::string& name, FilterKind kind) {
    switch (kind) {
        case FilterKind::SampleGrabber:
            return Ref<HostFilter>(new GrabberFilter(system, name));
        case FilterKind::FileSource:
            return Ref<HostFilter>(new FileSourceFilter(system, name));
        case FilterKind::SourcePacketConverter:
            return Ref<HostFilter>(new ConverterFilter(system, name));
        default:
            break;
    }
    Ref<HostFilter> filter(new HostFilter(system, name));
    if (kind == FilterKind::PassThrough || kind == FilterKind::InputOnly) {
        filter->AddPin(PinDirection::Input, "In", PinMedia::Any);
    }
    if (kind == FilterKind::PassThrough) {
        filter->AddPin(PinDirection::Output, "Out", PinMedia::Any);
    }
    return filter;
}

// ---- The graph
// -----------------------------------------------------------------------------------

namespace {

// Undoes a pin's connection; a deck whose input is let go is told so.
void Unpeer(HostPin& pin) {
    HostPin* peer = pin.peer;
    if (peer == nullptr) return;
    HostPin& input = pin.direction == PinDirection::Input ? pin : *peer;
    peer->peer = nullptr;
    pin.peer = nullptr;
    if (auto* deck = dynamic_cast<DeckFilter*>(&input.owner)) deck->deck->driver->InputReleased();
}

}  // namespace

HostGraph::HostGraph(std::shared_ptr<GraphSystem> system)
    : system_(std::move(system)), shared_(std::make_shared<StreamShared>()) {
    std::lock_guard lock(system_->mu);
    system_->graphs.push_back(this);
    ++system_->graphs_created;
}

HostGraph::~HostGraph() {
    if (streamer_.joinable()) {
        shared_->signal.Raise();
        // The thread calls the grabber's callback, which writes through the owner's data path:
        // the owner frees that once the graph is gone, so the graph must not go before the thread
        // has ended, however long a callback takes.
        streamer_.join();
    }
    for (Member& m : members_) {
        for (auto& pin : m.filter->pins) Unpeer(*pin);
        m.filter->graph = nullptr;
    }
    std::lock_guard lock(system_->mu);
    std::erase(system_->graphs, this);
}

HostGraph::Member* HostGraph::Find(const HostFilter* filter) {
    for (Member& m : members_) {
        if (m.filter.get() == filter) return &m;
    }
    return nullptr;
}

HResult HostGraph::AddFilter(IBaseFilter* filter, std::string_view name) {
    auto* f = dynamic_cast<HostFilter*>(filter);
    std::string as = name.empty() && f != nullptr ? f->name : std::string(name);
    if (const HResult hr = system_->Check(GraphOp::AddFilter, as)) return hr;
    if (filter == nullptr) return kE_POINTER;
    if (f == nullptr || f->graph != nullptr) return kE_INVALIDARG;
    members_.push_back({Ref<HostFilter>(f), std::move(as)});
    f->graph = this;
    return kS_OK;
}

HResult HostGraph::RemoveFilter(IBaseFilter* filter) {
    if (filter == nullptr) return kE_POINTER;
    Member* m = Find(dynamic_cast<HostFilter*>(filter));
    if (m == nullptr) return kVFW_E_NOT_FOUND;
    if (const HResult hr = system_->Check(GraphOp::RemoveFilter, m->name)) return hr;
    if (Busy()) return kVFW_E_NOT_STOPPED;
    for (auto& pin : m->filter->pins) Unpeer(*pin);
    m->filter->graph = nullptr;
    members_.erase(members_.begin() + (m - members_.data()));
    return kS_OK;
}

HResult HostGraph::Connect(IPin* output, IPin* input) {
    if (const HResult hr = system_->Check(GraphOp::Connect)) return hr;
    if (output == nullptr || input == nullptr) return kE_POINTER;
    auto* out = dynamic_cast<HostPin*>(output);
    auto* in = dynamic_cast<HostPin*>(input);
    if (out == nullptr || in == nullptr) return kE_INVALIDARG;
    if (out->owner.graph != this || in->owner.graph != this) return kVFW_E_NOT_IN_GRAPH;
    if (out->direction != PinDirection::Output || in->direction != PinDirection::Input) {
        return kVFW_E_INVALID_DIRECTION;
    }
    if (out->peer != nullptr || in->peer != nullptr) return kVFW_E_ALREADY_CONNECTED;
    if (Busy()) return kVFW_E_NOT_STOPPED;
    if (!MediaAgree(out->media, in->media)) return kVFW_E_CANNOT_CONNECT;
    out->peer = in;
    in->peer = out;
    if (auto* deck = dynamic_cast<DeckFilter*>(&in->owner)) deck->deck->driver->InputConnected();
    return kS_OK;
}

HResult HostGraph::QueryMediaControl(Ref<IMediaControl>& control) {
    if (const HResult hr = system_->Check(GraphOp::QueryMediaControl)) return hr;
    control = Ref<IMediaControl>(this);
    return kS_OK;
}

HResult HostGraph::QueryMediaEvent(Ref<IMediaEvent>& events) {
    if (const HResult hr = system_->Check(GraphOp::QueryMediaEvent)) return hr;
    events = Ref<IMediaEvent>(this);
    return kS_OK;
}

StreamJob HostGraph::FindJob() const {
    StreamJob job;
    for (const Member& m : members_) {
        auto* deck = dynamic_cast<DeckFilter*>(m.filter.get());
        if (deck == nullptr) continue;
        if (auto* grabber = dynamic_cast<GrabberFilter*>(deck->Neighbour(PinDirection::Output))) {
            job.kind = StreamJob::Kind::Capture;
            job.deck = deck->deck->driver;
            job.callback = grabber->callback();
            job.one_shot = grabber->one_shot();
            return job;
        }
        auto* converter = dynamic_cast<ConverterFilter*>(deck->Neighbour(PinDirection::Input));
        auto* source =
            converter != nullptr
                ? dynamic_cast<FileSourceFilter*>(converter->Neighbour(PinDirection::Input))
                : nullptr;
        if (source != nullptr && !source->path.empty()) {
            job.kind = StreamJob::Kind::Playback;
            job.deck = deck->deck->driver;
            job.source = source->path;
            return job;
        }
    }
    return job;
}

bool HostGraph::JoinFinished(std::chrono::milliseconds timeout) {
    if (!streamer_.joinable()) return true;
    {
        std::unique_lock lock(shared_->mu);
        if (!shared_->cv.wait_for(lock, timeout, [&] { return shared_->finished; })) return false;
    }
    streamer_.join();
    return true;
}

HResult HostGraph::Run() {
    if (const HResult hr = system_->Check(GraphOp::Run)) return hr;
    if (state_ == FilterState::Running && !stopping_) return kS_OK;
    if (!JoinFinished(kReleaseWait)) return kVFW_E_WRONG_STATE;
    stopping_ = false;
    // Fresh shared state per run: completion and the stop request belong to one run.
    shared_ = std::make_shared<StreamShared>();
    StreamJob job = FindJob();
    if (job.kind != StreamJob::Kind::None) {
        const bool playback = job.kind == StreamJob::Kind::Playback;
        if (const HResult hr = job.deck->Prepare(playback, job.source)) return hr;
    }
    state_ = FilterState::Running;
    if (job.kind != StreamJob::Kind::None) {
        shared_->finished = false;
        streamer_ =
            std::thread([shared = shared_, job = std::move(job)] { RunStream(shared, job); });
    }
    return system_->Check(GraphOp::RunLeavesRunning);
}

HResult HostGraph::Stop() {
    if (const HResult hr = system_->Check(GraphOp::Stop)) return hr;
    if (!Busy()) return kS_OK;
    shared_->signal.Raise();
    stopping_ = true;
    return kS_OK;
}

HResult HostGraph::GetState(int32_t timeout_ms, FilterState& state) {
    const auto timeout = std::chrono::milliseconds(std::max(timeout_ms, 0));
    if (const HResult hr = system_->Check(GraphOp::GetState)) {
        std::this_thread::sleep_for(timeout);
        state = state_;
        return hr;
    }
    if (stopping_) {
        // Stopped only once the streaming thread has delivered its last buffer.
        if (!JoinFinished(timeout)) {
            state = FilterState::Stopped;
            return kVFW_S_STATE_INTERMEDIATE;
        }
        stopping_ = false;
        state_ = FilterState::Stopped;
    }
    state = state_;
    return kS_OK;
}

HResult HostGraph::WaitForCompletion(int32_t timeout_ms, int32_t& event_code) {
    event_code = 0;
    if (const HResult hr = system_->Check(GraphOp::WaitForCompletion)) return hr;
    if (state_ != FilterState::Running || stopping_) return kVFW_E_WRONG_STATE;
    std::unique_lock lock(shared_->mu);
    shared_->cv.wait_for(lock, std::chrono::milliseconds(std::max(timeout_ms, 0)),
                         [&] { return shared_->event != 0; });
    if (shared_->event == 0) return kE_ABORT;
    event_code = shared_->event;
    return kS_OK;
}

GraphSnapshot HostGraph::Snapshot() const {
    GraphSnapshot snapshot;
    snapshot.exists = true;
    for (const Member& m : members_) {
        snapshot.filters.push_back(m.name);
        for (const auto& pin : m.filter->pins) {
            if (pin->direction == PinDirection::Output && pin->peer != nullptr) {
                ++snapshot.connections;
            }
        }
    }
    snapshot.state = state_;
    return snapshot;
}

}  // namespace tessaline
