// The four narrow doors between the IEEE 1394 backend and the bus: FCP transactions for AV/C,
// the node list, connection management (CMP), and the isochronous receive and transmit sides.
// The real implementations wrap libraw1394, librom1394 and libiec61883 (raw1394_*); the tests
// drive the same code through scripted fakes (tests/support/ieee1394/fake_bus.*). Everything above
// these doors is plain C++ that never touches a library.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tessaline::fw {

using Clock = std::chrono::steady_clock;

// Result of a bus operation. BusReset: the bus was reset meanwhile (node numbers may have
// changed; look the deck up again by GUID before retrying).
enum class BusStatus { Ok, Timeout, BusReset, IoError };

const char* BusStatusText(BusStatus status) noexcept;

// One FCP response frame written to our response register.
struct FcpFrame {
    int source_phy = -1;
    std::vector<uint8_t> bytes;
};

// FCP on the control handle. Send writes a command frame to a node's command register; Receive
// returns the next response frame written to us by any node, waiting until the deadline.
class IFcpPort {
  public:
    virtual ~IFcpPort() = default;
    virtual BusStatus Send(int phy, std::span<const uint8_t> command) = 0;
    virtual BusStatus Receive(FcpFrame& frame, Clock::time_point deadline) = 0;
};

// What the configuration ROM says about one node.
struct NodeInfo {
    int phy = -1;
    uint64_t guid = 0;
    bool is_local = false;
    // The unit directory names the AV/C command set.
    bool avc = false;
    // Textual leaves of the ROM (usually vendor then model); nullopt when there are none.
    std::optional<std::string> vendor;
    std::optional<std::string> model;
    uint32_t vendor_id = 0;
    uint32_t model_id = 0;
};

class IBus {
  public:
    virtual ~IBus() = default;
    // Every node of the bus, the local one included, in physical-ID order.
    virtual BusStatus Nodes(std::vector<NodeInfo>& nodes) = 0;
    // Counts bus resets seen so far; a change means node numbers may have changed.
    virtual uint32_t Generation() = 0;
    // Looks for nodes afresh, for one that Nodes() may have missed (a device plugged in again
    // before it could be opened). Cheap to call often: the bus limits how often it really looks.
    virtual void Rescan() {}
    // Reads one quadlet of a node's CSR space (offset from the register base), for diagnostics
    // (plug registers); host order.
    virtual BusStatus ReadRegister(int /*phy*/, uint32_t /*offset*/, uint32_t& /*value*/) {
        return BusStatus::IoError;
    }
};

// A half point-to-point connection on the deck's plug (IEC 61883-1), the computer having no
// plugs of its own: plugs of -1 mean "the first free plug" and are written back; bandwidth goes
// in as a flag (0: do not allocate) and comes back as the units allocated.
struct CmpConnection {
    int output_phy = -1;  // -1: the local node
    int output_plug = -1;
    int input_phy = -1;  // -1: the local node
    int input_plug = -1;
    int bandwidth = 1;
    int channel = -1;
    // Set by Connect for a stream we send: the speed to send at (0 S100, 1 S200), never faster
    // than the bus between us and the deck allows.
    int speed = 1;
    // What the connection holds, so that Disconnect gives back exactly that and nothing else:
    // a point-to-point count on the deck's plug (none when the deck broadcasts by itself), the
    // channel at the resource manager (none when the plug's own channel was joined), and the bus
    // generation they were taken in (a bus reset frees them without us).
    bool holds_plug = false;
    bool holds_channel = false;
    uint32_t generation = 0;
};

class ICmp {
  public:
    virtual ~ICmp() = default;
    // Returns the channel (also stored in c.channel), or -1.
    virtual int Connect(CmpConnection& c) = 0;
    // Connect again after a bus reset, keeping c.channel when possible; the channel or -1.
    virtual int Reconnect(CmpConnection& c) = 0;
    virtual void Disconnect(const CmpConnection& c) = 0;
};

// One isochronous packet as received: data starts at the CIP header.
struct IsoPacket {
    const uint8_t* data = nullptr;
    size_t length = 0;
    unsigned channel = 0;
    unsigned tag = 0;
    unsigned sy = 0;
    unsigned cycle = 0;
    unsigned dropped = 0;
};

class IsoPacketSink {
  public:
    virtual ~IsoPacketSink() = default;
    // Called for every packet on the thread that calls Iterate; false aborts the iteration.
    virtual bool Packet(const IsoPacket& packet) = 0;
};

// What Iterate reports.
enum class IsoStatus { Ok, BusReset, Error, End };

// The receive side, owned by one streaming thread from Start to Stop.
class IIsoSource {
  public:
    virtual ~IIsoSource() = default;
    virtual bool Start(int channel) = 0;
    // Readable when Iterate has packets to hand out (it may block otherwise).
    virtual int Fd() = 0;
    virtual IsoStatus Iterate(IsoPacketSink& sink) = 0;
    virtual void Stop() = 0;
};

// Fills one outgoing isochronous packet per bus cycle.
class IsoPacketSource {
  public:
    virtual ~IsoPacketSource() = default;
    // Writes at most `capacity` bytes (CIP header first) and returns the length; sets tag and sy.
    virtual size_t Fill(uint8_t* data, size_t capacity, unsigned cycle, unsigned& tag,
                        unsigned& sy) = 0;
    // True once everything has been put into packets.
    virtual bool Done() const = 0;
    // The sink was started afresh (a new channel, the deck back on the bus): what is filled next
    // goes out about now, not where the old queue would have put it.
    virtual void Restart() {}
};

// The transmit side. Once the source is Done() it is asked for no more packets (the queue is
// left to run dry rather than filled with empty ones), so that a drain can end.
class IIsoSink {
  public:
    virtual ~IIsoSink() = default;
    virtual bool Start(int channel, IsoPacketSource& source, int speed) = 0;
    virtual int Fd() = 0;
    virtual IsoStatus Iterate() = 0;
    // With drain, waits until what was queued has gone out, at most as long as the queue lasts
    // plus a margin and never past stop_fd becoming readable; then releases the DMA context.
    virtual void Stop(bool drain, int stop_fd) = 0;
    // How many cycles ahead of the bus the queue is kept filled: what Fill returns goes out
    // about this much later.
    virtual int QueuedCycles() const { return 0; }
};

// One bus as the backend uses it: the control side shared behind a lock, and a fresh iso side for
// every capture or playback (its own handle, owned by the streaming thread).
class IBusPort {
  public:
    virtual ~IBusPort() = default;
    virtual IFcpPort& Fcp() = 0;
    virtual IBus& Bus() = 0;
    virtual ICmp& Cmp() = 0;
    // The local node's physical ID, or -1.
    virtual int LocalPhy() = 0;
    virtual std::unique_ptr<IIsoSource> OpenIsoSource() = 0;
    virtual std::unique_ptr<IIsoSink> OpenIsoSink() = 0;
};

}  // namespace tessaline::fw
