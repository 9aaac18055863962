// CDSCapture: the one gateway to the media framework. It lists the decks and the registered
// filters, opens the chosen deck in a filter graph, adds and connects filters by name, runs and
// stops the graph, installs the sample callback, and commands the deck's power and transport.
// Every operation runs on the window thread and reports its own failures through a MessageSink.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "capture/framework.h"

namespace tessaline {

class CaptureDataPath;
class CSampleGrabberCB;
class MessageSink;
struct StreamContext;

// An entry of the device list or the filter list.
struct TCapDeviceInfo {
    std::string Name;
    Ref<IMoniker> Moniker;
};

class CDSCapture {
  public:
    static constexpr size_t kMaxDevices = 9;

    // The framework, the sink and the data path must outlive the controller; buffers of a running
    // graph go to data_path, and stream.CallbackBusy tells when one is being handled. Destroying
    // the controller stops and releases its graph; the release returns only once the framework's
    // streaming thread has ended, so no callback reaches the data path afterwards.
    CDSCapture(MediaFramework& framework, MessageSink& messages, StreamContext& stream,
               CaptureDataPath& data_path);
    ~CDSCapture();
    CDSCapture(const CDSCapture&) = delete;
    CDSCapture& operator=(const CDSCapture&) = delete;

    // ---- Devices, graph and chain ----
    // Builds the graph, the builder and both lists; true when at least one deck was found. Filters
    // whose name cannot be read are left out.
    bool EnumerateDevices();
    // The next list entry's name; empty text at the end, after which the walk starts over.
    std::string NextDeviceName();
    std::string NextFilterName();
    // Opens the deck at index in a fresh graph; false when it is the deck already chosen.
    bool SelectDevice(int index);
    // Opens the chosen deck in the graph; false (after saying why) when its filter is missing.
    bool BuildDeviceGraph();
    void ReleaseGraph();
    void ReleaseAll();
    // Adds one registered filter, by its exact name ("&" in front is ignored), to the chain.
    bool AddFilterByName(std::string name);
    // Connects deck and added filters in a line: deck first (recording) or deck last (writing).
    bool ConnectChain(bool device_first);
    void ClearAddedFilters();
    // Runs the graph and returns once it runs. When it does not, the graph is stopped again (one
    // bounded wait) and the failure reported once.
    bool RunGraph();
    // Stops the graph and returns once it has stopped and no buffer is being handled.
    bool StopGraph();
    // True from a run until a stop has been seen through (or the graph released): until then a
    // buffer may still arrive.
    bool GraphMayRun() const noexcept { return may_run_; }
    // Reports format (with "%x" replaced by code in upper-case hexadecimal) followed by tail.
    // Always false.
    bool ShowError(std::string_view format, HResult code, std::string_view tail = {});

    // ---- Sample grabber ----
    bool SetupSampleGrabber();

    // ---- Deck power and transport ----
    bool DevicePowerOn();
    bool DevicePowerOff();
    bool TransportRecordPause();
    bool TransportRecord();
    bool TransportStop();

    // ---- Writing to the deck ----
    bool SetSourceFile(const std::string& path);
    // The event the graph reports (EC_COMPLETE once the source has played out), else 0.
    int32_t PollCompletion();

    // ---- For the window, the command-line tool and tests ----
    const std::vector<TCapDeviceInfo>& DeviceList() const noexcept { return device_list_; }
    const std::vector<TCapDeviceInfo>& FilterList() const noexcept { return filter_list_; }
    // The list name of the chosen deck; empty when none is chosen.
    std::string SelectedDeviceName() const;
    bool HasDeviceFilter() const noexcept { return static_cast<bool>(device_filter_); }
    bool HasMediaControl() const noexcept { return static_cast<bool>(media_control_); }
    // How many filters of the current chain were requested and how many are in the graph.
    size_t AddedCount() const noexcept { return added_monikers_.size(); }
    size_t FiltersInGraph() const noexcept { return filters_in_graph_; }

    // Bounds of the waits in RunGraph and StopGraph, so that a hung device cannot freeze the
    // program: the graph's state change, and a callback still running after the graph stopped.
    void SetWaitLimits(std::chrono::milliseconds state, std::chrono::milliseconds callback);

  private:
    enum class Wait { Reached, TimedOut };
    // kS_OK once the graph is in target; else what to report: GetState's own failure code, or
    // kE_TIMEOUT when the graph just never got there.
    HResult WaitForState(FilterState target);
    Wait WaitForCallbackIdle();
    // After a failed or timed-out start: stop again, silently, so nothing runs unseen. True once
    // the graph has surely stopped.
    bool StopQuietly();
    bool PowerStep();
    bool SetTransportMode(int32_t mode, bool power_step);

    MediaFramework& framework_;
    MessageSink& messages_;
    StreamContext& stream_;
    CaptureDataPath& data_path_;

    Ref<ICaptureGraphBuilder2> builder_;
    Ref<IGraphBuilder> graph_;
    Ref<IMediaControl> media_control_;
    Ref<IMoniker> selected_moniker_;
    std::string selected_name_;
    Ref<IBaseFilter> device_filter_;
    std::vector<TCapDeviceInfo> device_list_;
    std::vector<TCapDeviceInfo> filter_list_;
    size_t device_position_ = 0;
    size_t filter_position_ = 0;

    // The chain being built: one entry per request (an unregistered name leaves an empty
    // moniker), the bound filters, and the names under which they joined the graph.
    std::vector<Ref<IMoniker>> added_monikers_;
    std::vector<Ref<IBaseFilter>> added_filters_;
    std::vector<std::string> added_names_;
    // Which added filters actually joined the graph, so exactly those are removed again.
    std::vector<bool> added_in_graph_;
    bool added_storage_ = false;
    size_t filters_in_graph_ = 0;

    Ref<CSampleGrabberCB> callback_;
    bool may_run_ = false;

    std::chrono::milliseconds state_limit_{10000};
    std::chrono::milliseconds callback_limit_{3000};
};

}  // namespace tessaline
