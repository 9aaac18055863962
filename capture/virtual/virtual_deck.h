// SPDX-License-Identifier: GPL-3.0-or-later
// The virtual deck: a deck driver without hardware. While capturing it plays a TS file into the
// grabber, paced at the stream's real rate or as fast as the callback takes it; in a write-to-deck
// chain it takes a file in and puts it on its tape file while its transport is in record. It keeps
// a power state and a transport mode, and remembers every command it was given (tests watch them).
// It is the demo's deck and the test double of a real one.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/deck_driver.h"
#include "capture/framework.h"

namespace tessaline {

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
};

struct DeckCommand {
    enum class Kind { Power, Transport };
    Kind kind = Kind::Power;
    int32_t value = 0;
    friend bool operator==(const DeckCommand&, const DeckCommand&) = default;
};

class VirtualDeck final : public DeckDriver {
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

    DeckListing Listing() const override;
    HResult GetPower(int32_t& state) override;
    HResult SetPower(int32_t state) override;
    HResult SetMode(int32_t mode) override;
    int32_t Capture(ISampleGrabberCB& callback, const StopSignal& stop) override;
    int32_t Playback(const std::string& path, const StopSignal& stop) override;
    HResult Prepare(bool playback, const std::string& path) override;
    std::string Describe() override;

  private:
    void CountDelivery(size_t bytes) noexcept;

    VirtualDeckConfig config_;
    std::atomic<int32_t> power_;
    std::atomic<int32_t> mode_{ED_MODE_STOP};
    mutable std::mutex mu_;
    std::vector<DeckCommand> commands_;
    std::atomic<uint64_t> buffers_{0};
    std::atomic<uint64_t> bytes_{0};
    // The tape starts empty; later playbacks append to it.
    std::atomic<bool> tape_started_{false};
};

}  // namespace tessaline
