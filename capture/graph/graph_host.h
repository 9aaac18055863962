// The graph host: the media framework the recorder talks to. It lists tape decks (and, for tests,
// other capture sources), offers the registered filters the recorder asks for by name, and while a
// graph runs streams on its own thread: a deck with a driver (a real deck) through that driver, a
// deck without one as the virtual deck, which plays a TS file into the sample grabber, paced at the
// stream's real rate or as fast as the callback takes it, and in a write-to-deck chain copies what
// is played into a tape file. Every operation can be made to fail with a chosen code.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/deck_driver.h"
#include "capture/framework.h"

namespace tessaline {

class GraphSystem;

struct VirtualDeckConfig {
    // Property texts; nullopt makes the property unreadable.
    std::optional<std::string> friendly_name = "Virtual AV/C Tape Subunit";
    std::optional<std::string> vendor = "Tessaline";
    std::optional<std::string> model = "Virtual Deck";
    // What GetCapability(ED_DEVCAP_DEVICE_TYPE) reports; a webcam or tuner reports something else.
    int32_t device_type = ED_DEVTYPE_VCR;
    // Capture sources without external device control (webcams) cannot be bound to one.
    bool offers_ext_device = true;
    // Controls found on the capture pin.
    bool has_power_control = true;
    bool has_transport_control = true;
    int32_t power = ED_POWER_ON;

    // The stream delivered while capturing (188- or 192-byte packets, as stored).
    std::string file;
    // Where a write-to-deck chain records; empty: file + ".tape".
    std::string tape_file;
    // Buffer sizes: chunk_bytes each, or, with random_chunk_max > 0, random sizes in
    // [1, random_chunk_max] from random_seed. Packet boundaries are not respected.
    size_t chunk_bytes = 61440;
    size_t random_chunk_max = 0;
    uint32_t random_seed = 1;
    // As fast as the callback takes it instead of the stream's real rate.
    bool fast = false;
    // After this many bytes the stream ends with an error (EC_ERRORABORT), as an unplugged deck's
    // does; 0: it ends only at the end of the file.
    uint64_t fail_after = 0;

    // A real deck: power, transport and streaming go to the driver instead of being simulated
    // (file, tape_file, chunks and pace are then unused).
    std::shared_ptr<DeckDriver> driver;
};

struct DeckCommand {
    enum class Kind { Power, Transport };
    Kind kind = Kind::Power;
    int32_t value = 0;
    friend bool operator==(const DeckCommand&, const DeckCommand&) = default;
};

// One attached device. Tests keep the handle to watch what the device was told and delivered.
class VirtualDeck {
  public:
    explicit VirtualDeck(VirtualDeckConfig config);

    const VirtualDeckConfig& config() const noexcept { return config_; }
    std::string tape_path() const;
    int32_t power() const noexcept { return power_.load(); }
    int32_t transport_mode() const noexcept { return mode_.load(); }
    std::vector<DeckCommand> commands() const;
    void ClearCommands();
    uint64_t buffers_delivered() const noexcept { return buffers_.load(); }
    uint64_t bytes_delivered() const noexcept { return bytes_.load(); }

    // Used by the framework's objects; a driven deck asks its driver.
    HResult GetPower(int32_t& state);
    HResult SetPower(int32_t state);
    HResult SetMode(int32_t mode);
    void CountDelivery(size_t bytes) noexcept;
    // True the first time only: the tape starts empty, later playbacks append to it.
    bool TakeFreshTape() noexcept { return !tape_started_.exchange(true); }

  private:
    VirtualDeckConfig config_;
    std::atomic<int32_t> power_;
    std::atomic<int32_t> mode_{ED_MODE_STOP};
    mutable std::mutex mu_;
    std::vector<DeckCommand> commands_;
    std::atomic<uint64_t> buffers_{0};
    std::atomic<uint64_t> bytes_{0};
    std::atomic<bool> tape_started_{false};
};

// What a registered filter does.
enum class VirtualFilterKind {
    SampleGrabber,          // one input, one output; offers ISampleGrabber
    FileSource,             // one output; offers IFileSourceFilter
    SourcePacketConverter,  // TS file in, 192-byte source packets out (for the deck's input)
    PassThrough,            // one input, one output, any media
    InputOnly,              // one input pin
    NoPins,                 // no pins at all
};

// Operations that can be made to fail.
enum class VirtualOp {
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

    // Devices are listed in the order added.
    std::shared_ptr<VirtualDeck> AddDeck(VirtualDeckConfig config);
    // Every device added, in list order.
    std::vector<std::shared_ptr<VirtualDeck>> Decks() const;
    void RegisterFilter(std::string name, VirtualFilterKind kind);

    // Makes op fail with code for the next `times` calls (-1: until cleared); with a target,
    // only calls about that device or filter fail.
    void Fail(VirtualOp op, HResult code, int times = -1, std::string target = {});
    void ClearFailures();

    GraphSnapshot LatestGraph() const;
    int GraphsCreated() const;
    int GraphsAlive() const;  // created and not yet released

    HResult CreateFilterGraph(Ref<IGraphBuilder>& graph) override;
    HResult CreateCaptureGraphBuilder(Ref<ICaptureGraphBuilder2>& builder) override;
    HResult CreateSystemDeviceEnum(Ref<ICreateDevEnum>& enumerator) override;

  private:
    std::shared_ptr<GraphSystem> system_;
};

// The registered names the recorder uses.
inline constexpr const char* kSampleGrabberName = "SampleGrabber";
inline constexpr const char* kFileSourceName = "File Source (Async.)";
inline constexpr const char* kSourcePacketConverterName = "MPEG2 Transport to Source Packets";

}  // namespace tessaline
