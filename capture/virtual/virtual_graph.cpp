// The virtual deck's filters, pins and graph, and the streaming thread that plays the deck's file
// into the grabber (capture) or a file into the deck's tape (writing to the deck).
#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>

#include "capture/virtual/virtual_objects.h"
#include "capture/virtual/virtual_stream.h"

namespace tessaline {
namespace {

using Clock = std::chrono::steady_clock;

// Enough of the start of a file to measure its rate.
constexpr size_t kRateProbeBytes = 4 << 20;
// How long a new run waits for the previous run's streaming thread to end.
constexpr auto kReleaseWait = std::chrono::seconds(5);

class PinEnum final : public IEnumPins {
  public:
    explicit PinEnum(VirtualFilter& filter) : filter_(&filter) {}

    HResult Next(Ref<IPin>& pin) override {
        if (next_ >= filter_->pins.size()) {
            pin.reset();
            return kS_FALSE;
        }
        pin = Ref<IPin>(filter_->pins[next_++].get());
        return kS_OK;
    }

  private:
    Ref<VirtualFilter> filter_;
    size_t next_ = 0;
};

bool MediaAgree(PinMedia out, PinMedia in) {
    return out == in || out == PinMedia::Any || in == PinMedia::Any;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Paces delivery at the stream's rate; with `fast`, does not wait at all.
class Pacer {
  public:
    Pacer(StreamShared& shared, std::FILE* file, bool fast) : shared_(shared), fast_(fast) {
        if (!fast_) {
            std::vector<uint8_t> probe(kRateProbeBytes);
            const size_t n = std::fread(probe.data(), 1, probe.size(), file);
            rate_ = MeasurePlayRate(probe.data(), n).bytes_per_second;
            std::rewind(file);
        }
        start_ = Clock::now();
    }

    double rate() const { return rate_; }
    double SecondsAt(uint64_t offset) const { return static_cast<double>(offset) / rate_; }

    // Waits until the byte at offset is due; false when a stop was asked for meanwhile.
    bool WaitFor(uint64_t offset) {
        if (shared_.stop_requested.load(std::memory_order_acquire)) return false;
        if (fast_) return true;
        const auto due = start_ + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(SecondsAt(offset)));
        std::unique_lock lock(shared_.mu);
        return !shared_.cv.wait_until(lock, due, [&] { return shared_.stop_requested.load(); });
    }

  private:
    StreamShared& shared_;
    bool fast_;
    double rate_ = kDefaultPlayBytesPerSecond;
    Clock::time_point start_;
};

// Chunk sizes as the deck is configured: fixed, or random from its seed.
class Chunker {
  public:
    explicit Chunker(const VirtualDeckConfig& c)
        : fixed_(std::max<size_t>(c.chunk_bytes, 1)),
          random_(c.random_chunk_max),
          rng_(c.random_seed),
          pick_(1, std::max<size_t>(c.random_chunk_max, 1)) {}
    size_t largest() const { return random_ > 0 ? random_ : fixed_; }
    size_t next() { return random_ > 0 ? pick_(rng_) : fixed_; }

  private:
    size_t fixed_;
    size_t random_;
    std::mt19937 rng_;
    std::uniform_int_distribution<size_t> pick_;
};

int32_t CaptureLoop(StreamShared& shared, const StreamJob& job) {
    const VirtualDeckConfig& config = job.deck->config();
    if (config.driver) {
        return job.callback ? config.driver->Capture(*job.callback, shared.signal) : 0;
    }
    // A deck that is not switched on plays nothing.
    if (job.deck->power() != ED_POWER_ON || !job.callback) return 0;
    File file(std::fopen(config.file.c_str(), "rb"));
    if (!file) return EC_ERRORABORT;
    Pacer pacer(shared, file.get(), config.fast);
    Chunker chunks(config);
    std::vector<uint8_t> buffer(chunks.largest());
    uint64_t offset = 0;
    for (;;) {
        size_t want = chunks.next();
        if (config.fail_after > 0) {
            if (offset >= config.fail_after) return EC_ERRORABORT;
            want = static_cast<size_t>(std::min<uint64_t>(want, config.fail_after - offset));
        }
        const size_t n = std::fread(buffer.data(), 1, want, file.get());
        if (n == 0) return std::ferror(file.get()) ? EC_ERRORABORT : EC_COMPLETE;
        if (!pacer.WaitFor(offset + n)) return 0;
        job.callback->BufferCB(pacer.SecondsAt(offset), buffer.data(), static_cast<long>(n));
        job.deck->CountDelivery(n);
        offset += n;
        if (job.one_shot) return EC_COMPLETE;
    }
}

// Like a tape deck, the deck takes in whatever it is sent but puts it on tape only while its
// transport is in record: not in record-pause, stop or play.
int32_t PlaybackLoop(StreamShared& shared, const StreamJob& job) {
    const VirtualDeckConfig& config = job.deck->config();
    if (config.driver) return config.driver->Playback(job.source, shared.signal);
    if (job.deck->power() != ED_POWER_ON) return 0;
    File source(std::fopen(job.source.c_str(), "rb"));
    if (!source) return EC_ERRORABORT;
    File tape;  // opened at the first bytes recorded
    auto record = [&](const std::vector<uint8_t>& bytes) {
        if (bytes.empty() || job.deck->transport_mode() != ED_MODE_RECORD) return true;
        if (!tape) {
            tape.reset(
                std::fopen(job.deck->tape_path().c_str(), job.deck->TakeFreshTape() ? "wb" : "ab"));
            if (!tape) return false;
        }
        return std::fwrite(bytes.data(), 1, bytes.size(), tape.get()) == bytes.size();
    };
    Pacer pacer(shared, source.get(), config.fast);
    SourcePacketWrapper wrapper(pacer.rate());
    Chunker chunks(config);
    std::vector<uint8_t> buffer(chunks.largest());
    std::vector<uint8_t> converted;
    converted.reserve(buffer.size() + buffer.size() / 47 + 1024);
    uint64_t offset = 0;
    for (;;) {
        const size_t n = std::fread(buffer.data(), 1, chunks.next(), source.get());
        if (n == 0) {
            if (std::ferror(source.get())) return EC_ERRORABORT;
            wrapper.Flush(converted);
            break;
        }
        if (!pacer.WaitFor(offset + n)) return 0;
        wrapper.Convert(buffer.data(), n, converted);
        if (!record(converted)) return EC_ERRORABORT;
        job.deck->CountDelivery(n);
        offset += n;
    }
    if (!record(converted)) return EC_ERRORABORT;
    if (tape && std::fclose(tape.release()) != 0) return EC_ERRORABORT;
    return EC_COMPLETE;
}

void RunStream(const std::shared_ptr<StreamShared>& shared, const StreamJob& job) {
    int32_t event = 0;
    try {
        event = job.kind == StreamJob::Kind::Capture ? CaptureLoop(*shared, job)
                                                     : PlaybackLoop(*shared, job);
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

uint32_t VirtualPin::AddRef() noexcept {
    return owner.AddRef();
}
uint32_t VirtualPin::Release() noexcept {
    return owner.Release();
}

HResult VirtualPin::QueryPinInfo(PinInfo& info) {
    if (const HResult hr = owner.system->Check(VirtualOp::QueryPinInfo, owner.name)) return hr;
    info.filter = Ref<IBaseFilter>(&owner);
    info.direction = direction;
    info.name = name;
    return kS_OK;
}

VirtualFilter::VirtualFilter(std::shared_ptr<VirtualSystem> system, std::string name)
    : system(std::move(system)), name(std::move(name)) {}

VirtualFilter::~VirtualFilter() {
    for (auto& pin : pins) {
        if (pin->peer != nullptr) pin->peer->peer = nullptr;
    }
}

HResult VirtualFilter::EnumPins(Ref<IEnumPins>& list) {
    if (const HResult hr = system->Check(VirtualOp::EnumPins, name)) return hr;
    list = MakeRef<PinEnum>(*this);
    return kS_OK;
}

HResult VirtualFilter::QuerySampleGrabber(Ref<ISampleGrabber>& /*grabber*/) {
    return kE_NOINTERFACE;
}

HResult VirtualFilter::QueryFileSource(Ref<IFileSourceFilter>& /*source*/) {
    return kE_NOINTERFACE;
}

VirtualPin* VirtualFilter::AddPin(PinDirection direction, std::string pin_name, PinMedia media) {
    pins.push_back(std::make_unique<VirtualPin>(*this, direction, std::move(pin_name), media));
    return pins.back().get();
}

VirtualFilter* VirtualFilter::Neighbour(PinDirection direction) const {
    for (const auto& pin : pins) {
        if (pin->direction == direction) return pin->peer ? &pin->peer->owner : nullptr;
    }
    return nullptr;
}

DeckFilter::DeckFilter(std::shared_ptr<VirtualSystem> system, std::shared_ptr<VirtualDeck> deck)
    : VirtualFilter(std::move(system), deck->config().friendly_name.value_or("Virtual Deck")),
      deck(std::move(deck)) {
    AddPin(PinDirection::Output, "Capture", PinMedia::CaptureTs);
    AddPin(PinDirection::Input, "Input", PinMedia::SourcePackets);
}

GrabberFilter::GrabberFilter(std::shared_ptr<VirtualSystem> system, std::string name)
    : VirtualFilter(std::move(system), std::move(name)) {
    AddPin(PinDirection::Input, "Input", PinMedia::Any);
    AddPin(PinDirection::Output, "Output", PinMedia::Any);
}

HResult GrabberFilter::QuerySampleGrabber(Ref<ISampleGrabber>& grabber) {
    grabber = Ref<ISampleGrabber>(this);
    return kS_OK;
}

HResult GrabberFilter::SetMediaType(const MediaType& type) {
    if (const HResult hr = system->Check(VirtualOp::SetMediaType, name)) return hr;
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
    if (const HResult hr = system->Check(VirtualOp::SetCallback, name)) return hr;
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

FileSourceFilter::FileSourceFilter(std::shared_ptr<VirtualSystem> system, std::string name)
    : VirtualFilter(std::move(system), std::move(name)) {
    AddPin(PinDirection::Output, "Output", PinMedia::FileTs);
}

HResult FileSourceFilter::QueryFileSource(Ref<IFileSourceFilter>& source) {
    source = Ref<IFileSourceFilter>(this);
    return kS_OK;
}

HResult FileSourceFilter::Load(std::string_view file, const MediaType* /*type*/) {
    if (const HResult hr = system->Check(VirtualOp::Load, name)) return hr;
    const std::string candidate(file);
    File probe(std::fopen(candidate.c_str(), "rb"));
    if (!probe) return kE_FILE_NOT_FOUND;
    path = candidate;
    return kS_OK;
}

ConverterFilter::ConverterFilter(std::shared_ptr<VirtualSystem> system, std::string name)
    : VirtualFilter(std::move(system), std::move(name)) {
    AddPin(PinDirection::Input, "Input", PinMedia::FileTs);
    AddPin(PinDirection::Output, "Output", PinMedia::SourcePackets);
}

Ref<VirtualFilter> MakeRegisteredFilter(const std::shared_ptr<VirtualSystem>& system,
                                        const std::string& name, VirtualFilterKind kind) {
    switch (kind) {
        case VirtualFilterKind::SampleGrabber:
            return Ref<VirtualFilter>(new GrabberFilter(system, name));
        case VirtualFilterKind::FileSource:
            return Ref<VirtualFilter>(new FileSourceFilter(system, name));
        case VirtualFilterKind::SourcePacketConverter:
            return Ref<VirtualFilter>(new ConverterFilter(system, name));
        default:
            break;
    }
    Ref<VirtualFilter> filter(new VirtualFilter(system, name));
    if (kind == VirtualFilterKind::PassThrough || kind == VirtualFilterKind::InputOnly) {
        filter->AddPin(PinDirection::Input, "In", PinMedia::Any);
    }
    if (kind == VirtualFilterKind::PassThrough) {
        filter->AddPin(PinDirection::Output, "Out", PinMedia::Any);
    }
    return filter;
}

// ---- The graph
// -----------------------------------------------------------------------------------

VirtualGraph::VirtualGraph(std::shared_ptr<VirtualSystem> system)
    : system_(std::move(system)), shared_(std::make_shared<StreamShared>()) {
    std::lock_guard lock(system_->mu);
    system_->graphs.push_back(this);
    ++system_->graphs_created;
}

VirtualGraph::~VirtualGraph() {
    if (streamer_.joinable()) {
        shared_->stop_requested = true;
        shared_->signal.Raise();
        { std::lock_guard lock(shared_->mu); }
        shared_->cv.notify_all();
        // The thread calls the grabber's callback, which writes through the owner's data path:
        // the owner frees that once the graph is gone, so the graph must not go before the thread
        // has ended, however long a callback takes.
        streamer_.join();
    }
    for (Member& m : members_) {
        for (auto& pin : m.filter->pins) {
            if (pin->peer != nullptr) pin->peer->peer = nullptr;
            pin->peer = nullptr;
        }
        m.filter->graph = nullptr;
    }
    std::lock_guard lock(system_->mu);
    std::erase(system_->graphs, this);
}

VirtualGraph::Member* VirtualGraph::Find(const VirtualFilter* filter) {
    for (Member& m : members_) {
        if (m.filter.get() == filter) return &m;
    }
    return nullptr;
}

HResult VirtualGraph::AddFilter(IBaseFilter* filter, std::string_view name) {
    auto* f = dynamic_cast<VirtualFilter*>(filter);
    std::string as = name.empty() && f != nullptr ? f->name : std::string(name);
    if (const HResult hr = system_->Check(VirtualOp::AddFilter, as)) return hr;
    if (filter == nullptr) return kE_POINTER;
    if (f == nullptr || f->graph != nullptr) return kE_INVALIDARG;
    members_.push_back({Ref<VirtualFilter>(f), std::move(as)});
    f->graph = this;
    return kS_OK;
}

HResult VirtualGraph::RemoveFilter(IBaseFilter* filter) {
    if (filter == nullptr) return kE_POINTER;
    Member* m = Find(dynamic_cast<VirtualFilter*>(filter));
    if (m == nullptr) return kVFW_E_NOT_FOUND;
    if (const HResult hr = system_->Check(VirtualOp::RemoveFilter, m->name)) return hr;
    if (Busy()) return kVFW_E_NOT_STOPPED;
    for (auto& pin : m->filter->pins) {
        if (pin->peer != nullptr) pin->peer->peer = nullptr;
        pin->peer = nullptr;
    }
    m->filter->graph = nullptr;
    members_.erase(members_.begin() + (m - members_.data()));
    return kS_OK;
}

HResult VirtualGraph::Connect(IPin* output, IPin* input) {
    if (const HResult hr = system_->Check(VirtualOp::Connect)) return hr;
    if (output == nullptr || input == nullptr) return kE_POINTER;
    auto* out = dynamic_cast<VirtualPin*>(output);
    auto* in = dynamic_cast<VirtualPin*>(input);
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
    return kS_OK;
}

HResult VirtualGraph::QueryMediaControl(Ref<IMediaControl>& control) {
    if (const HResult hr = system_->Check(VirtualOp::QueryMediaControl)) return hr;
    control = Ref<IMediaControl>(this);
    return kS_OK;
}

HResult VirtualGraph::QueryMediaEvent(Ref<IMediaEvent>& events) {
    if (const HResult hr = system_->Check(VirtualOp::QueryMediaEvent)) return hr;
    events = Ref<IMediaEvent>(this);
    return kS_OK;
}

StreamJob VirtualGraph::FindJob() const {
    StreamJob job;
    for (const Member& m : members_) {
        auto* deck = dynamic_cast<DeckFilter*>(m.filter.get());
        if (deck == nullptr) continue;
        if (auto* grabber = dynamic_cast<GrabberFilter*>(deck->Neighbour(PinDirection::Output))) {
            job.kind = StreamJob::Kind::Capture;
            job.deck = deck->deck;
            job.source = deck->deck->config().file;
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
            job.deck = deck->deck;
            job.source = source->path;
            return job;
        }
    }
    return job;
}

bool VirtualGraph::JoinFinished(std::chrono::milliseconds timeout) {
    if (!streamer_.joinable()) return true;
    {
        std::unique_lock lock(shared_->mu);
        if (!shared_->cv.wait_for(lock, timeout, [&] { return shared_->finished; })) return false;
    }
    streamer_.join();
    return true;
}

HResult VirtualGraph::Run() {
    if (const HResult hr = system_->Check(VirtualOp::Run)) return hr;
    if (state_ == FilterState::Running && !stopping_) return kS_OK;
    if (!JoinFinished(kReleaseWait)) return kVFW_E_WRONG_STATE;
    stopping_ = false;
    // Fresh shared state per run: completion and the stop request belong to one run.
    shared_ = std::make_shared<StreamShared>();
    StreamJob job = FindJob();
    if (job.kind != StreamJob::Kind::None && job.deck->config().driver) {
        const bool playback = job.kind == StreamJob::Kind::Playback;
        if (const HResult hr = job.deck->config().driver->Prepare(playback, job.source)) return hr;
    }
    state_ = FilterState::Running;
    if (job.kind != StreamJob::Kind::None) {
        shared_->finished = false;
        streamer_ =
            std::thread([shared = shared_, job = std::move(job)] { RunStream(shared, job); });
    }
    return system_->Check(VirtualOp::RunLeavesRunning);
}

HResult VirtualGraph::Stop() {
    if (const HResult hr = system_->Check(VirtualOp::Stop)) return hr;
    if (!Busy()) return kS_OK;
    shared_->stop_requested = true;
    shared_->signal.Raise();
    {
        // Taking the lock orders the request before a waiting thread's predicate check.
        std::lock_guard lock(shared_->mu);
    }
    shared_->cv.notify_all();
    stopping_ = true;
    return kS_OK;
}

HResult VirtualGraph::GetState(int32_t timeout_ms, FilterState& state) {
    const auto timeout = std::chrono::milliseconds(std::max(timeout_ms, 0));
    if (const HResult hr = system_->Check(VirtualOp::GetState)) {
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

HResult VirtualGraph::WaitForCompletion(int32_t timeout_ms, int32_t& event_code) {
    event_code = 0;
    if (const HResult hr = system_->Check(VirtualOp::WaitForCompletion)) return hr;
    if (state_ != FilterState::Running || stopping_) return kVFW_E_WRONG_STATE;
    std::unique_lock lock(shared_->mu);
    shared_->cv.wait_for(lock, std::chrono::milliseconds(std::max(timeout_ms, 0)),
                         [&] { return shared_->event != 0; });
    if (shared_->event == 0) return kE_ABORT;
    event_code = shared_->event;
    return kS_OK;
}

GraphSnapshot VirtualGraph::Snapshot() const {
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
