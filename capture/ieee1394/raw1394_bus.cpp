// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/ieee1394/raw1394_bus.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libavc1394/rom1394.h>
#include <libraw1394/csr.h>
#include <libraw1394/raw1394.h>
#include <linux/firewire-cdev.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "capture/ieee1394/cip.h"
#include "capture/ieee1394/raw1394_cmp.h"
#include "capture/ieee1394/raw1394_fcp.h"
#include "capture/ieee1394/raw1394_handle.h"
#include "capture/ieee1394/raw1394_iso.h"

namespace tessaline::fw {
namespace {

constexpr int kMaxPorts = 16;

// Bandwidth allocation units (a quadlet's time at S1600) for one iso packet of `payload` bytes
// at `speed`: the payload with the iso header and CRCs (3 quadlets), plus the usual overhead.
int BandwidthUnits(int speed, size_t payload) {
    const int per_quadlet = 16 >> std::clamp(speed, 0, 2);  // S100 16, S200 8, S400 4
    return 512 + static_cast<int>((payload + 3) / 4 + 3) * per_quadlet;
}

using cmp::NodeId;

// One port's control handle: FCP, the node list and connection management, used by the
// control side under its lock. The iso sides get handles of their own (raw1394_iso.*).
class RawPort final : public IBusPort, IFcpPort, IBus, ICmp {
  public:
    RawPort(int port, bool local_node_open)
        : port_(port), handle_(port), local_open_(local_node_open) {
        Install();
    }
    ~RawPort() override {
        if (handle_) fcp_.Close(handle_.get());
    }
    bool ok() const { return static_cast<bool>(handle_) && fcp_.is_open(); }

    IFcpPort& Fcp() override { return *this; }
    IBus& Bus() override { return *this; }
    ICmp& Cmp() override { return *this; }
    int LocalPhy() override { return handle_ ? raw1394_get_local_id(handle_.get()) & 0x3F : -1; }
    std::unique_ptr<IIsoSource> OpenIsoSource() override { return OpenRawIsoSource(port_); }
    std::unique_ptr<IIsoSink> OpenIsoSink() override { return OpenRawIsoSink(port_); }

    // ---- FCP
    BusStatus Send(int phy, std::span<const uint8_t> command) override {
        if (!handle_ && !Recreate()) return BusStatus::IoError;
        Drain(handle_.get());
        fcp_.Clear();
        quadlet_t buffer[128] = {};
        if (command.size() > sizeof buffer) return BusStatus::IoError;
        std::memcpy(buffer, command.data(), command.size());
        const size_t length = (command.size() + 3) & ~size_t{3};
        const uint32_t resets = resets_;
        errno = 0;
        const int rc = raw1394_write(handle_.get(), NodeId(phy, handle_.get()),
                                     CSR_REGISTER_BASE + CSR_FCP_COMMAND, length, buffer);
        if (rc == 0) return BusStatus::Ok;
        BusStatus status = FailureStatus(handle_.get());
        if (status == BusStatus::BusReset) {
            StaleGeneration(resets);
        } else if (!local_open_ && (errno != EAGAIN || GenerationMoved())) {
            // Without the controller's own node the handle does its local work (the FCP
            // address range, the IRM) through a deck's node; when that deck leaves, a fresh
            // handle finds the nodes still there. And resets go unannounced: a request to a
            // node number that changed fails with no acknowledgement rather than a stale
            // generation. Either way the caller looks its deck up again on a fresh handle.
            Recreate();
            status = BusStatus::BusReset;
        }
        return status;
    }

    BusStatus Receive(FcpFrame& frame, Clock::time_point deadline) override {
        if (!handle_) return BusStatus::IoError;
        const uint32_t resets = resets_;
        for (;;) {
            // The answer may already have come in during the write.
            if (fcp_.Take(frame)) return BusStatus::Ok;
            if (resets_ != resets) return BusStatus::BusReset;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return BusStatus::Timeout;
            pollfd fd{raw1394_get_fd(handle_.get()), POLLIN | POLLPRI, 0};
            const int n = poll(&fd, 1, static_cast<int>(left.count()));
            if (n < 0 && errno != EINTR) return BusStatus::IoError;
            if (n > 0 && raw1394_loop_iterate(handle_.get()) != 0) return BusStatus::IoError;
        }
    }

    // ---- Nodes
    BusStatus Nodes(std::vector<NodeInfo>& nodes) override {
        // A ROM read that fails on a stale generation (a reset this handle did not hear of) is
        // read again on a fresh handle, once.
        for (int attempt = 0;; ++attempt) {
            nodes.clear();
            if (!handle_ && !Recreate()) return BusStatus::IoError;
            Drain(handle_.get());
            const uint32_t resets = resets_;
            bool stale = false;
            const BusStatus status = ReadNodes(nodes, stale);
            if (!stale || attempt > 0) return status;
            StaleGeneration(resets);
        }
    }

    BusStatus ReadNodes(std::vector<NodeInfo>& nodes, bool& stale) {
        const int count = raw1394_get_nodecount(handle_.get());
        if (count <= 0 || count > 63) return BusStatus::IoError;
        const int local = raw1394_get_local_id(handle_.get()) & 0x3F;
        const unsigned generation = raw1394_get_generation(handle_.get());
        // The ROMs are read once per bus generation: a node whose ROM cannot be read (no
        // permission to its /dev/fw*) would otherwise have librom1394 complain on standard error
        // at every lookup.
        if (cache_valid_ && cache_resets_ == resets_ && cache_generation_ == generation &&
            cache_.size() == static_cast<size_t>(count) && cache_local_ == local) {
            nodes = cache_;
            return BusStatus::Ok;
        }
        for (int phy = 0; phy < count; ++phy) {
            NodeInfo info;
            info.phy = phy;
            info.is_local = phy == local;
            errno = 0;
            if (!info.is_local) ReadRom(phy, info);
            if (info.guid == 0 && GenerationError(handle_.get())) stale = true;
            nodes.push_back(std::move(info));
        }
        if (stale) return BusStatus::BusReset;
        cache_ = nodes;
        cache_valid_ = true;
        cache_resets_ = resets_;
        cache_generation_ = generation;
        cache_local_ = local;
        return BusStatus::Ok;
    }

    BusStatus ReadRegister(int phy, uint32_t offset, uint32_t& value) override {
        if (!handle_ && !Recreate()) return BusStatus::IoError;
        Drain(handle_.get());
        quadlet_t wire = 0;
        errno = 0;
        if (raw1394_read(handle_.get(), NodeId(phy, handle_.get()), CSR_REGISTER_BASE + offset, 4,
                         &wire) != 0) {
            return FailureStatus(handle_.get());
        }
        value = ntohl(wire);
        return BusStatus::Ok;
    }

    void Rescan() override {
        // A node back from a short unplug keeps its /dev/fw*, but its ROM reads fail until the
        // kernel has found it again, and that tells only the node's own file, not the handle's
        // generation: the ROMs are read again at every look.
        cache_valid_ = false;
        // A node plugged in again gets a new /dev/fw*, which the handle ignores for good when it
        // could not open it at once (udev had not yet set its permissions). A new handle lists
        // /dev afresh; not more than once a second.
        const auto now = Clock::now();
        if (now - last_rescan_ < std::chrono::seconds(1)) return;
        last_rescan_ = now;
        Recreate();
    }

    uint32_t Generation() override {
        if (handle_) Drain(handle_.get());
        if (!local_open_ && handle_) ProbeGeneration();
        return resets_;
    }

    // ---- CMP
    // Transactions on a stale generation fail every try until the handle reads its events: then
    // the handle is made anew and the call tried once more.
    int Connect(CmpConnection& c) override {
        const bool sending = c.output_phy < 0;
        const int channel = WithFreshGeneration([&](raw1394handle_t h) {
            CmpConnection attempt = c;
            // We have no output plug to read a bandwidth from: what we send is allocated below.
            if (sending) attempt.bandwidth = 0;
            const int ch = cmp::Connect(h, attempt);
            if (ch >= 0) c = attempt;
            return ch;
        });
        if (channel >= 0 && sending) AllocateSendBandwidth(c);
        return channel;
    }
    int Reconnect(CmpConnection& c) override {
        return WithFreshGeneration([&](raw1394handle_t h) {
            CmpConnection attempt = c;
            const int ch = cmp::Restore(h, attempt);
            if (ch >= 0) c = attempt;
            return ch;
        });
    }
    void Disconnect(const CmpConnection& c) override {
        if (!c.holds_plug && !c.holds_channel && c.bandwidth <= 0) return;
        WithFreshGeneration([&](raw1394handle_t h) { return cmp::ReleasePlug(h, c) ? 0 : -1; });
        // What we took is ours only in the generation we took it in: a handle that may not have
        // heard of a reset is made afresh first, or it would free what a reset gave to another.
        if (!local_open_) Recreate();
        if (!handle_) return;
        Drain(handle_.get());
        cmp::ReleaseResources(handle_.get(), c);
    }

    int port() const { return port_; }

  private:
    void Install() {
        cache_valid_ = false;
        if (!handle_) return;
        raw1394_set_userdata(handle_.get(), this);
        raw1394_set_bus_reset_handler(handle_.get(), &RawPort::OnReset);
        // Responses come to an address range of our own on the response register: the
        // library's own FCP listener keeps a few bytes it never frees.
        fcp_.Open(handle_.get());
    }

    // Drops the control handle and opens a new one on the port. Counts as a bus reset: the node
    // numbers may be new, and so callers look their deck up again.
    bool Recreate() {
        if (handle_) fcp_.Close(handle_.get());
        handle_.Reopen(port_);
        fcp_.Clear();
        Install();
        ++resets_;
        return ok();
    }

    // Without the controller's own node no reset is announced, and a connection not restored
    // within a second of one is dropped by the deck: a new handle, which takes the bus's
    // generation from whatever node it opens, tells whether ours is stale. Twice a second.
    void ProbeGeneration() {
        const auto now = Clock::now();
        if (now - last_probe_ < std::chrono::milliseconds(500)) return;
        last_probe_ = now;
        if (GenerationMoved()) Recreate();
    }

    // Whether the bus has been reset since this handle last heard of it.
    bool GenerationMoved() {
        raw1394handle_t fresh = raw1394_new_handle_on_port(port_);
        if (fresh == nullptr) return false;
        const unsigned current = raw1394_get_generation(fresh);
        raw1394_destroy_handle(fresh);
        return current != raw1394_get_generation(handle_.get());
    }

    // A generation error on the control handle. When the reset has not reached the handle by now
    // (its event comes only through the controller's own node, which we may not be allowed to
    // open) the handle would stay stale for ever: a fresh one takes the new generation.
    void StaleGeneration(uint32_t resets_before) {
        Drain(handle_.get());
        if (resets_ == resets_before) Recreate();
    }

    template <typename Call>
    int WithFreshGeneration(Call call) {
        if (!handle_ && !Recreate()) return -1;
        for (int attempt = 0; attempt < 2; ++attempt) {
            Drain(handle_.get());
            const uint32_t resets = resets_;
            errno = 0;
            const int result = call(handle_.get());
            if (result >= 0) return result;
            if (GenerationError(handle_.get())) {
                StaleGeneration(resets);
            } else if (!local_open_ && attempt == 0) {
                // Resets go unannounced without the controller's node, and the resource
                // manager's refusals do not say "stale generation": a fresh handle, once.
                Recreate();
            } else {
                return result;
            }
            if (!handle_) return -1;
        }
        return -1;
    }

    // Sending: the speed the bus between us and the deck allows, at most S200, and the
    // bandwidth a full packet needs at that speed, taken from the resource manager.
    void AllocateSendBandwidth(CmpConnection& c) {
        raw1394handle_t h = handle_.get();
        const int bus_speed = raw1394_get_speed(h, NodeId(c.input_phy, h));
        c.speed = bus_speed < 0 ? RAW1394_ISO_SPEED_100 : std::min(bus_speed, 1);
        const int units = BandwidthUnits(c.speed, kCipHeaderBytes + 5 * kSourcePacketBytes);
        c.bandwidth =
            raw1394_bandwidth_modify(h, static_cast<unsigned>(units), RAW1394_MODIFY_ALLOC) == 0
                ? units
                : 0;
    }

    void ReadRom(int phy, NodeInfo& info) {
        raw1394handle_t h = handle_.get();
        info.guid = rom1394_get_guid(h, static_cast<nodeid_t>(phy));
        // Zeroed first: for a bad node the call fails before it fills anything in.
        rom1394_directory dir;
        std::memset(&dir, 0, sizeof dir);
        if (rom1394_get_directory(h, static_cast<nodeid_t>(phy), &dir) < 0) return;
        info.avc = rom1394_get_node_type(&dir) == ROM1394_NODE_TYPE_AVC;
        info.vendor_id = dir.vendor_id;
        info.model_id = dir.model_id;
        if (dir.label != nullptr) {
            // Textual leaves joined by blanks, usually vendor then model. They come from the
            // device: bounded, and only printable ASCII kept.
            std::string label;
            for (const char* p = dir.label; *p != '\0' && label.size() < 256; ++p) {
                const unsigned char ch = static_cast<unsigned char>(*p);
                label += ch >= 0x20 && ch < 0x7F ? static_cast<char>(ch) : '?';
            }
            const size_t space = label.find(' ');
            if (!label.empty()) {
                info.vendor = label.substr(0, space);
                if (space != std::string::npos) info.model = label.substr(space + 1);
            }
        }
        rom1394_free_directory(&dir);
    }

    static int OnReset(raw1394handle_t h, unsigned int generation) {
        raw1394_update_generation(h, generation);
        if (auto* self = static_cast<RawPort*>(raw1394_get_userdata(h))) ++self->resets_;
        return 0;
    }

    int port_;
    Raw1394Handle handle_;
    // Whether the controller's own /dev/fw* could be opened (else bus resets go unannounced).
    bool local_open_;
    uint32_t resets_ = 0;
    FcpResponseRange fcp_;
    std::vector<NodeInfo> cache_;
    bool cache_valid_ = false;
    uint32_t cache_resets_ = 0;
    unsigned cache_generation_ = 0;
    int cache_local_ = -1;
    Clock::time_point last_rescan_{};
    Clock::time_point last_probe_{};
};

// Why no port can be used, from what /dev shows.
std::string DeviceReason(int open_errno) {
    std::vector<std::string> nodes;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("fw", 0) == 0 && name.size() > 2) nodes.push_back(entry.path().string());
    }
    if (nodes.empty()) return "no IEEE 1394 controller found (no /dev/fw*)";
    for (const std::string& node : nodes) {
        const int fd = open(node.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0 && (errno == EACCES || errno == EPERM)) {
            return "no permission to open " + node +
                   " (see \"Recording from a real deck\" in the README)";
        }
        if (fd >= 0) close(fd);
    }
    return std::string("cannot use the IEEE 1394 bus: ") +
           (open_errno != 0 ? std::strerror(open_errno) : "no port with nodes");
}

// Whether the controller's own /dev/fw* node can be opened. Bus resets are announced only through
// it; without it the program still works, but learns of resets late, from failing requests.
// Returns false with the node's name (or a general one) in `node` when it cannot be.
bool LocalNodeOpens(std::string& node) {
    std::vector<std::string> closed;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("fw", 0) != 0 || name.size() < 3 ||
            name.find_first_not_of("0123456789", 2) != std::string::npos) {
            continue;
        }
        const std::string path = entry.path().string();
        const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            closed.push_back(path);
            continue;
        }
        fw_cdev_event_bus_reset reset{};
        fw_cdev_get_info info{};
        info.version = 4;
        info.bus_reset = reinterpret_cast<uintptr_t>(&reset);
        const bool local =
            ioctl(fd, FW_CDEV_IOC_GET_INFO, &info) == 0 && reset.node_id == reset.local_node_id;
        close(fd);
        if (local) return true;
    }
    // Which of the closed nodes is the controller, sysfs tells.
    for (const std::string& path : closed) {
        const std::string sys = "/sys/bus/firewire/devices/" +
                                std::filesystem::path(path).filename().string() + "/is_local";
        std::FILE* f = std::fopen(sys.c_str(), "r");
        if (f == nullptr) continue;
        const int c = std::fgetc(f);
        std::fclose(f);
        if (c == '1') {
            node = path;
            return false;
        }
    }
    node = "the controller's own /dev/fw* node";
    return closed.empty();
}

}  // namespace

std::vector<std::unique_ptr<IBusPort>> OpenRaw1394Ports(std::string& reason) {
    std::vector<std::unique_ptr<IBusPort>> ports;
    errno = 0;
    raw1394handle_t probe = raw1394_new_handle();
    if (probe == nullptr) {
        reason = DeviceReason(errno);
        return ports;
    }
    raw1394_portinfo info[kMaxPorts];
    const int count = raw1394_get_port_info(probe, info, kMaxPorts);
    const int saved = errno;
    raw1394_destroy_handle(probe);
    std::string local_node;
    const bool local_open = LocalNodeOpens(local_node);
    for (int port = 0; port < count && port < kMaxPorts; ++port) {
        if (info[port].nodes <= 0) continue;
        auto raw = std::make_unique<RawPort>(port, local_open);
        if (raw->ok()) ports.push_back(std::move(raw));
    }
    if (ports.empty()) {
        reason = DeviceReason(count < 0 ? saved : 0);
    } else if (!local_open) {
        reason = "cannot open " + local_node +
                 " (no permission): bus resets are noticed only late (see \"Recording from a "
                 "real deck\" in the README)";
    }
    return ports;
}

}  // namespace tessaline::fw