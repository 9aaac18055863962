// The graph host: the media framework the recorder talks to. It lists the decks it is given (and,
// for tests, other capture sources), offers the registered filters the recorder asks for by name,
// and while a graph runs lets the deck's driver stream on the graph's own thread: into the sample
// grabber when the deck heads a capture chain, from the file source when it ends a write-to-deck
// chain. It knows each deck only as a DeckDriver. Every operation can be made to fail with a chosen
// code.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/deck_driver.h"
#include "capture/framework.h"

namespace tessaline {

class GraphSystem;

// What a registered filter does.
enum class FilterKind {
    SampleGrabber,          // one input, one output; offers ISampleGrabber
    FileSource,             // one output; offers IFileSourceFilter
    SourcePacketConverter,  // TS file in, 192-byte source packets out (for the deck's input)
    PassThrough,            // one input, one output, any media
    InputOnly,              // one input pin
    NoPins,                 // no pins at all
};

// Operations that can be made to fail.
enum class GraphOp {
    CreateFilterGraph,
    CreateCaptureGraphBuilder,
    CreateSystemDeviceEnum,
    CreateClassEnumerator,
    BindToFilter,     // target: the device's or filter's friendly name
    BindToExtDevice,  // target: the device's friendly name
    BindToStorage,    // target: the device's or filter's friendly name
    GetCapability,
    GetDevicePower,
    PutDevicePower,
    PutMode,
    FindExtDevice,
    FindExtTransport,
    SetFiltergraph,
    AddFilter,     // target: the name the filter is added under
    RemoveFilter,  // target: the filter's name in the graph
    EnumPins,      // target: the filter's name
    QueryPinInfo,  // target: the filter's name
    Connect,
    QueryMediaControl,
    QueryMediaEvent,
    Run,
    // Run starts the graph all the same, then reports the code: a start that half worked.
    RunLeavesRunning,
    Stop,
    // GetState fails with the code and reports no change: with kVFW_S_STATE_INTERMEDIATE the
    // graph never gets to the state asked for.
    GetState,
    WaitForCompletion,
    SetMediaType,
    SetCallback,
    Load,
};

// The graph most recently created and still alive, as tests see it.
struct GraphSnapshot {
    bool exists = false;
    std::vector<std::string> filters;  // names in the graph, in the order added
    int connections = 0;
    FilterState state = FilterState::Stopped;
};

class GraphHost final : public MediaFramework {
  public:
    // The three filters the recorder looks up by name are registered unless told otherwise.
    explicit GraphHost(bool standard_filters = true);
    ~GraphHost() override;

    // Devices are listed in the order added; the deck's listing is asked for once, here. Returns
    // the deck, so that callers keep a typed handle.
    template <std::derived_from<DeckDriver> Driver>
    std::shared_ptr<Driver> AddDeck(std::shared_ptr<Driver> deck) {
        AddDriver(deck);
        return deck;
    }
    // Every device added, in list order.
    std::vector<std::shared_ptr<DeckDriver>> Decks() const;
    void RegisterFilter(std::string name, FilterKind kind);

    // Makes op fail with code for the next `times` calls (-1: until cleared); with a target,
    // only calls about that device or filter fail.
    void Fail(GraphOp op, HResult code, int times = -1, std::string target = {});
    void ClearFailures();

    GraphSnapshot LatestGraph() const;
    int GraphsCreated() const;
    int GraphsAlive() const;  // created and not yet released

    HResult CreateFilterGraph(Ref<IGraphBuilder>& graph) override;
    HResult CreateCaptureGraphBuilder(Ref<ICaptureGraphBuilder2>& builder) override;
    HResult CreateSystemDeviceEnum(Ref<ICreateDevEnum>& enumerator) override;

  private:
    void AddDriver(std::shared_ptr<DeckDriver> deck);

    std::shared_ptr<GraphSystem> system_;
};

// The registered names the recorder uses.
inline constexpr const char* kSampleGrabberName = "SampleGrabber";
inline constexpr const char* kFileSourceName = "File Source (Async.)";
inline constexpr const char* kSourcePacketConverterName = "MPEG2 Transport to Source Packets";

}  // namespace tessaline
