// Inside the graph host: the shared state of one host instance, and the filters, pins and graph it
// hands out. Only graph_host.cpp and graph.cpp use this header.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "capture/graph/graph_host.h"

namespace tessaline {

class HostGraph;

// A deck as the host holds it: the driver, and the listing it gave when it was added.
struct HostDeck {
    std::shared_ptr<DeckDriver> driver;
    DeckListing listing;
    // What failures aimed at this deck name it by.
    std::string name() const { return listing.friendly_name.value_or(""); }
};

class GraphSystem {
  public:
    // 0, or the code of an injected failure for this call.
    HResult Check(GraphOp op, std::string_view target = {});

    mutable std::mutex mu;
    std::vector<std::shared_ptr<const HostDeck>> inputs;
    struct Registered {
        std::string name;
        FilterKind kind;
    };
    std::vector<Registered> filters;
    struct Failure {
        GraphOp op;
        HResult code;
        int remaining;  // -1: no limit
        std::string target;
    };
    std::vector<Failure> failures;
    std::vector<HostGraph*> graphs;  // alive, oldest first
    int graphs_created = 0;
};

// What a pin carries; pins connect when the media agree or either side takes any.
enum class PinMedia { Any, CaptureTs, FileTs, SourcePackets };

class HostFilter;

// Pins live as long as their filter and count references on it.
class HostPin final : public IPin {
  public:
    HostPin(HostFilter& owner, PinDirection direction, std::string name, PinMedia media)
        : owner(owner), direction(direction), name(std::move(name)), media(media) {}

    uint32_t AddRef() noexcept override;
    uint32_t Release() noexcept override;
    HResult QueryPinInfo(PinInfo& info) override;

    HostFilter& owner;
    const PinDirection direction;
    const std::string name;
    const PinMedia media;
    HostPin* peer = nullptr;  // changed on the window thread only
};

class HostFilter : public IBaseFilter {
  public:
    HostFilter(std::shared_ptr<GraphSystem> system, std::string name);
    ~HostFilter() override;

    HResult EnumPins(Ref<IEnumPins>& pins) override;
    HResult QuerySampleGrabber(Ref<ISampleGrabber>& grabber) override;
    HResult QueryFileSource(Ref<IFileSourceFilter>& source) override;

    HostPin* AddPin(PinDirection direction, std::string pin_name, PinMedia media);
    // The filter on the other side of this filter's first pin of the given direction.
    HostFilter* Neighbour(PinDirection direction) const;

    const std::shared_ptr<GraphSystem> system;
    const std::string name;
    std::vector<std::unique_ptr<HostPin>> pins;
    HostGraph* graph = nullptr;
};

Ref<HostFilter> MakeRegisteredFilter(const std::shared_ptr<GraphSystem>& system,
                                     const std::string& name, FilterKind kind);

class DeckFilter final : public HostFilter {
  public:
    DeckFilter(std::shared_ptr<GraphSystem> system, std::shared_ptr<const HostDeck> deck);
    const std::shared_ptr<const HostDeck> deck;
};

class GrabberFilter final : public HostFilter, public ISampleGrabber {
  public:
    GrabberFilter(std::shared_ptr<GraphSystem> system, std::string name);

    HResult QuerySampleGrabber(Ref<ISampleGrabber>& grabber) override;
    HResult SetMediaType(const MediaType& type) override;
    HResult SetBufferSamples(bool buffer) override;
    HResult SetOneShot(bool one_shot) override;
    HResult SetCallback(ISampleGrabberCB* callback, int32_t which) override;

    // Read by the graph when it starts streaming.
    Ref<ISampleGrabberCB> callback() const;
    bool one_shot() const;

  private:
    mutable std::mutex mu_;
    MediaType type_;
    bool buffer_samples_ = false;
    bool one_shot_ = false;
    Ref<ISampleGrabberCB> callback_;
};

class FileSourceFilter final : public HostFilter, public IFileSourceFilter {
  public:
    FileSourceFilter(std::shared_ptr<GraphSystem> system, std::string name);

    HResult QueryFileSource(Ref<IFileSourceFilter>& source) override;
    HResult Load(std::string_view path, const MediaType* type) override;

    std::string path;
};

// Which filter a registered kind makes is decided by its kind; the converter is a plain filter
// that the graph recognises by its kind.
class ConverterFilter final : public HostFilter {
  public:
    ConverterFilter(std::shared_ptr<GraphSystem> system, std::string name);
};

// What the streaming thread does for one run of the graph.
struct StreamJob {
    enum class Kind { None, Capture, Playback };
    Kind kind = Kind::None;
    std::shared_ptr<DeckDriver> deck;
    std::string source;  // the file played into the deck
    Ref<ISampleGrabberCB> callback;
    bool one_shot = false;
};

// What the graph and its streaming thread share. The thread holds its own reference, so a graph
// that gives up waiting for a hung thread can go without leaving it anything dangling.
struct StreamShared {
    std::mutex mu;
    std::condition_variable cv;
    // The stop request the driver's streaming loop waits on beside its device.
    StopSignal signal;
    bool finished = true;
    int32_t event = 0;
};

class HostGraph final : public IGraphBuilder, public IMediaControl, public IMediaEvent {
  public:
    explicit HostGraph(std::shared_ptr<GraphSystem> system);
    ~HostGraph() override;

    HResult AddFilter(IBaseFilter* filter, std::string_view name) override;
    HResult RemoveFilter(IBaseFilter* filter) override;
    HResult Connect(IPin* output, IPin* input) override;
    HResult QueryMediaControl(Ref<IMediaControl>& control) override;
    HResult QueryMediaEvent(Ref<IMediaEvent>& events) override;

    HResult Run() override;
    HResult Stop() override;
    HResult GetState(int32_t timeout_ms, FilterState& state) override;
    HResult WaitForCompletion(int32_t timeout_ms, int32_t& event_code) override;

    GraphSnapshot Snapshot() const;

  private:
    struct Member {
        Ref<HostFilter> filter;
        std::string name;
    };

    StreamJob FindJob() const;
    // Joins the streaming thread once it has finished, waiting at most timeout for that.
    bool JoinFinished(std::chrono::milliseconds timeout);
    bool Busy() const noexcept { return state_ != FilterState::Stopped || stopping_; }
    Member* Find(const HostFilter* filter);

    const std::shared_ptr<GraphSystem> system_;
    std::vector<Member> members_;
    std::shared_ptr<StreamShared> shared_;
    std::thread streamer_;
    FilterState state_ = FilterState::Stopped;
    bool stopping_ = false;
};

}  // namespace tessaline
