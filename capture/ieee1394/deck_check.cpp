// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/ieee1394/deck_check.h"

#include <fcntl.h>
#include <linux/firewire-cdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "capture/deck_transport.h"
#ifdef TESSALINE_HAVE_RAW1394
#include "capture/ieee1394/raw1394_bus.h"
#endif

namespace tessaline::fw {
namespace {

// Plug registers, relative to the CSR base.
constexpr uint32_t kOmpr = 0x900;
constexpr uint32_t kOpcr0 = 0x904;
constexpr uint32_t kImpr = 0x980;
constexpr uint32_t kIpcr0 = 0x984;

// Counts what the receive test delivers.
class Counter final : public ISampleGrabberCB {
  public:
    HResult SampleCB(double, IMediaSample*) override { return kE_NOTIMPL; }
    HResult BufferCB(double, const uint8_t*, long) override { return kS_OK; }
};

std::string Hex32(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", v);
    return text;
}

std::string Optional(const std::optional<std::string>& text) {
    return text ? JsonQuote(*text) : "null";
}

std::string Seconds(const std::optional<double>& value) {
    if (!value) return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", *value);
    return text;
}

std::string RegisterJson(const std::optional<uint32_t>& value) {
    return value ? JsonQuote(Hex32(*value)) : "null";
}

}  // namespace

std::vector<DeviceNodeAccess> ListDeviceNodes() {
    std::vector<DeviceNodeAccess> list;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("fw", 0) != 0 || name.size() < 3 ||
            name.find_first_not_of("0123456789", 2) != std::string::npos) {
            continue;
        }
        DeviceNodeAccess node;
        node.path = entry.path().string();
        const int fd = open(node.path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            node.error = std::strerror(errno);
        } else {
            node.opens = true;
            fw_cdev_event_bus_reset reset{};
            fw_cdev_get_info info{};
            info.version = 4;
            info.bus_reset = reinterpret_cast<uintptr_t>(&reset);
            if (ioctl(fd, FW_CDEV_IOC_GET_INFO, &info) == 0) {
                node.local = reset.node_id == reset.local_node_id ? 1 : 0;
            }
            close(fd);
        }
        if (node.local < 0) {
            const std::string sys = "/sys/bus/firewire/devices/" + name + "/is_local";
            if (std::FILE* f = std::fopen(sys.c_str(), "r")) {
                const int c = std::fgetc(f);
                if (c == '0' || c == '1') node.local = c - '0';
                std::fclose(f);
            }
        }
        list.push_back(std::move(node));
    }
    std::sort(list.begin(), list.end(), [](const DeviceNodeAccess& a, const DeviceNodeAccess& b) {
        return a.path.size() != b.path.size() ? a.path.size() < b.path.size() : a.path < b.path;
    });
    return list;
}

std::string PlugText(uint32_t pcr, bool output) {
    const bool online = (pcr >> 31) != 0;
    const unsigned broadcast = (pcr >> 30) & 1;
    const unsigned p2p = (pcr >> 24) & 0x3F;
    const unsigned channel = (pcr >> 16) & 0x3F;
    std::string text = std::string(online ? "online" : "offline") +
                       (broadcast ? ", broadcast" : "") + ", p2p " + std::to_string(p2p) +
                       ", channel " + std::to_string(channel);
    if (output) {
        static const char* const kRates[] = {"S100", "S200", "S400", "S800"};
        text += std::string(", ") + kRates[(pcr >> 14) & 3] + ", payload " +
                std::to_string(pcr & 0x3FF) + " quadlets";
    }
    return text;
}

namespace {

std::string ReplyText(const AvcReply& reply) {
    return reply.ok() ? HexText(reply.bytes) : std::string(BusStatusText(reply.status));
}

// The deck's transport now, or Unknown when it cannot be asked.
TransportState::Kind AskTransport(Ieee1394Port& port, uint64_t guid) {
    std::lock_guard lock(port.mutex());
    const std::optional<int> phy = FindPhyByGuid(port.bus().Bus(), guid);
    if (!phy) return TransportState::Kind::Unknown;
    return DecodeTransport(port.avc().Transact(*phy, avc::TransportState())).kind;
}

AvcReply Send(Ieee1394Port& port, uint64_t guid, const Frame& frame) {
    std::lock_guard lock(port.mutex());
    const std::optional<int> phy = FindPhyByGuid(port.bus().Bus(), guid);
    if (!phy) return AvcReply{};
    return port.avc().Transact(*phy, frame);
}

// How long a deck told to play may take to say it plays (a cassette being threaded).
constexpr std::chrono::seconds kPlayStartLimit{10};

}  // namespace

void CheckDeck(Ieee1394Port& port, int device, std::chrono::milliseconds receive,
               DeckCheckReport& report, bool play) {
    {
        std::lock_guard lock(port.mutex());
        report.nodes_status = port.bus().Bus().Nodes(report.nodes);
        FindDecks(port.bus().Bus(), port.avc(), report.decks);
    }
    if (device < 0 || device >= static_cast<int>(report.decks.size())) return;
    report.deck = report.decks[static_cast<size_t>(device)];
    const DeckEntry& deck = *report.deck;
    TransportState transport;
    {
        std::lock_guard lock(port.mutex());
        const std::optional<int> phy = FindPhyByGuid(port.bus().Bus(), deck.guid);
        if (!phy) return;
        report.power = PowerText(DecodePower(port.avc().Transact(*phy, avc::PowerStatus())));
        const AvcReply state = port.avc().Transact(*phy, avc::TransportState());
        transport = DecodeTransport(state);
        report.transport = TransportText(transport.kind);
        report.transport_reply = ReplyText(state);
        AvcReply counter = port.avc().Transact(*phy, avc::RelativeTimeCounter());
        report.position = DecodeCounter(counter);
        if (!report.position && counter.ok()) {
            const AvcReply code = port.avc().Transact(*phy, avc::TimeCode());
            if ((report.position = DecodeCounter(code))) counter = code;
        }
        report.position_reply = ReplyText(counter);
        const AvcReply medium = port.avc().Transact(*phy, avc::MediumInfo());
        report.medium = MediumText(DecodeMedium(medium));
        report.medium_reply = ReplyText(medium);
        uint32_t value = 0;
        IBus& bus = port.bus().Bus();
        if (bus.ReadRegister(*phy, kOmpr, value) == BusStatus::Ok) report.ompr = value;
        if (bus.ReadRegister(*phy, kOpcr0, value) == BusStatus::Ok) report.opcr0 = value;
        if (bus.ReadRegister(*phy, kImpr, value) == BusStatus::Ok) report.impr = value;
        if (bus.ReadRegister(*phy, kIpcr0, value) == BusStatus::Ok) report.ipcr0 = value;
    }
    if (transport.kind != TransportState::Kind::Playing && play) {
        // Started here, so stopped here once the test is over.
        const AvcReply reply = Send(port, deck.guid, avc::Play());
        if (!reply.ok() || reply.response != avc::kAccepted) {
            report.receive_note = "not run: the deck did not take PLAY (" + ReplyText(reply) + ")";
            return;
        }
        report.played = true;
        const auto give_up = Clock::now() + kPlayStartLimit;
        while ((transport.kind = AskTransport(port, deck.guid)) != TransportState::Kind::Playing &&
               Clock::now() < give_up) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    if (transport.kind != TransportState::Kind::Playing) {
        report.receive_note =
            report.played ? "not run: the deck took PLAY but did not start playing"
                          : "not run: the deck is not playing (start playback, or use --play)";
        if (report.played) Send(port, deck.guid, avc::Stop());
        return;
    }
    // The receive test: the stream as a recording would take it, for a few seconds.
    Ref<Counter> counter(new Counter);
    StopSignal stop;
    StreamTiming timing;
    LinkReportBox box;
    const auto start = Clock::now();
    std::mutex mu;
    std::condition_variable cv;
    bool finished = false;
    std::thread timer([&] {
        std::unique_lock lock(mu);
        cv.wait_for(lock, receive, [&] { return finished; });
        stop.Raise();
    });
    const int32_t event = ReceiveLoop(port, deck.guid, *counter, stop, timing, box);
    {
        std::lock_guard lock(mu);
        finished = true;
    }
    cv.notify_all();
    timer.join();
    if (report.played) Send(port, deck.guid, avc::Stop());
    report.received = true;
    report.receive_seconds = std::chrono::duration<double>(Clock::now() - start).count();
    report.link = box.Get();
    if (event == EC_ERRORABORT) {
        report.receive_note = "ended early: " + report.link.error;
    } else if (event == EC_COMPLETE) {
        report.receive_note = "the stream ended";
    }
}

std::string DeckCheckText(const DeckCheckReport& r) {
    std::string t = "IEEE 1394 device nodes:\n";
    if (r.device_nodes.empty())
        t += "  none (no /dev/fw*: no controller, or its driver is not loaded)\n";
    for (const DeviceNodeAccess& n : r.device_nodes) {
        t += "  " + n.path + (n.local == 1 ? " (controller)" : "") + ": " +
             (n.opens ? std::string("opens") : "cannot open: " + n.error) + "\n";
    }
    if (!r.bus_problem.empty()) t += "bus: " + r.bus_problem + "\n";
    if (r.nodes.empty()) {
        t += "nodes: none\n";
    } else if (r.nodes_status != BusStatus::Ok) {
        t += "nodes (" + std::string(BusStatusText(r.nodes_status)) + "):\n";
    } else {
        t += "nodes:\n";
    }
    for (const NodeInfo& n : r.nodes) {
        t += "  " + std::to_string(n.phy) + ": ";
        if (n.is_local) {
            t += "this computer\n";
            continue;
        }
        t += "GUID " + GuidText(n.guid) + (n.avc ? ", AV/C" : ", not AV/C") + ", vendor " +
             n.vendor.value_or("(none)") + ", model " + n.model.value_or("(none)") + ", ids " +
             Hex32(n.vendor_id) + "/" + Hex32(n.model_id) + "\n";
    }
    t += "decks: " + std::to_string(r.decks.size()) + "\n";
    if (!r.deck) {
        t += "no deck to check\n";
        return t;
    }
    t += "deck " + GuidText(r.deck->guid) + ": power " + r.power + ", transport " + r.transport +
         " (" + r.transport_reply + ")\n";
    t += "  tape: position " + TapePositionText(r.position) + " (" + r.position_reply +
         "), cassette " + r.medium + " (" + r.medium_reply + ")\n";
    auto plug = [&](const char* name, const std::optional<uint32_t>& v, bool output, bool pcr) {
        t += std::string("  ") + name + ": ";
        if (!v) {
            t += "unreadable\n";
        } else if (pcr) {
            t += Hex32(*v) + " (" + PlugText(*v, output) + ")\n";
        } else {
            t += Hex32(*v) + " (" + std::to_string(*v & 0x1F) + " plugs)\n";
        }
    };
    plug("oMPR", r.ompr, true, false);
    plug("oPCR[0]", r.opcr0, true, true);
    plug("iMPR", r.impr, false, false);
    plug("iPCR[0]", r.ipcr0, false, true);
    if (!r.received) {
        t += "receive test: " + r.receive_note + "\n";
        return t;
    }
    const CipStats& c = r.link.cip;
    const double seconds = r.receive_seconds > 0 ? r.receive_seconds : 1;
    char rate[64];
    std::snprintf(rate, sizeof rate, "%.2f Mbit/s over %.1f s",
                  static_cast<double>(r.link.bytes_delivered) * 8 / seconds / 1e6, seconds);
    t += "receive test on channel " + std::to_string(r.link.channel) +
         (r.link.connected || r.link.reconnects > 0 ? "" : " (broadcast)") + ": " +
         std::to_string(c.packets) + " packets (" + std::to_string(c.empty_packets) + " empty), " +
         std::to_string(c.source_packets) + " source packets, " + std::to_string(c.dbc_gaps) +
         " DBC gaps, " + rate + "\n";
    t += "  dropped " + std::to_string(c.bus_dropped) + ", malformed " +
         std::to_string(c.bad_length + c.bad_header + c.wrong_format) + ", other channel " +
         std::to_string(c.wrong_channel) + ", out of sync " + std::to_string(c.lost_sync) +
         ", copy-protected " + std::to_string(c.encrypted) + "\n";
    if (r.played) t += "  playback was started for the test and stopped after it\n";
    if (!r.receive_note.empty()) t += "  " + r.receive_note + "\n";
    return t;
}

std::string DeckCheckJson(const DeckCheckReport& r) {
    std::string j = "{\"device_nodes\":[";
    for (size_t i = 0; i < r.device_nodes.size(); ++i) {
        const DeviceNodeAccess& n = r.device_nodes[i];
        j += std::string(i ? "," : "") + "{\"path\":" + JsonQuote(n.path) +
             ",\"opens\":" + (n.opens ? "true" : "false") + ",\"error\":" + JsonQuote(n.error) +
             ",\"controller\":" +
             (n.local < 0 ? "null"
              : n.local   ? "true"
                          : "false") +
             "}";
    }
    j += "],\"bus_problem\":" + JsonQuote(r.bus_problem) +
         ",\"nodes_status\":" + JsonQuote(BusStatusText(r.nodes_status)) + ",\"nodes\":[";
    for (size_t i = 0; i < r.nodes.size(); ++i) {
        const NodeInfo& n = r.nodes[i];
        j += std::string(i ? "," : "") + "{\"phy\":" + std::to_string(n.phy) +
             ",\"local\":" + (n.is_local ? "true" : "false") +
             ",\"guid\":" + JsonQuote(GuidText(n.guid)) + ",\"avc\":" + (n.avc ? "true" : "false") +
             ",\"vendor\":" + Optional(n.vendor) + ",\"model\":" + Optional(n.model) +
             ",\"vendor_id\":" + std::to_string(n.vendor_id) +
             ",\"model_id\":" + std::to_string(n.model_id) + "}";
    }
    j += "],\"decks\":" + std::to_string(r.decks.size()) + ",\"deck\":";
    if (!r.deck) return j + "null}";
    j += "{\"guid\":" + JsonQuote(GuidText(r.deck->guid)) + ",\"power\":" + JsonQuote(r.power) +
         ",\"transport\":" + JsonQuote(r.transport) +
         ",\"transport_reply\":" + JsonQuote(r.transport_reply) +
         ",\"position\":" + Seconds(r.position) +
         ",\"position_reply\":" + JsonQuote(r.position_reply) +
         ",\"medium\":" + JsonQuote(r.medium) + ",\"medium_reply\":" + JsonQuote(r.medium_reply) +
         ",\"ompr\":" + RegisterJson(r.ompr) + ",\"opcr0\":" + RegisterJson(r.opcr0) +
         ",\"impr\":" + RegisterJson(r.impr) + ",\"ipcr0\":" + RegisterJson(r.ipcr0) +
         ",\"receive\":";
    if (!r.received) return j + "{\"run\":false,\"note\":" + JsonQuote(r.receive_note) + "}}}";
    const CipStats& c = r.link.cip;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", r.receive_seconds);
    j += std::string("{\"run\":true,\"played\":") + (r.played ? "true" : "false") +
         ",\"note\":" + JsonQuote(r.receive_note) +
         ",\"channel\":" + std::to_string(r.link.channel) + ",\"seconds\":" + seconds +
         ",\"packets\":" + std::to_string(c.packets) +
         ",\"empty_packets\":" + std::to_string(c.empty_packets) +
         ",\"source_packets\":" + std::to_string(c.source_packets) +
         ",\"dbc_gaps\":" + std::to_string(c.dbc_gaps) +
         ",\"blocks_lost\":" + std::to_string(c.blocks_lost) +
         ",\"bus_dropped\":" + std::to_string(c.bus_dropped) +
         ",\"malformed\":" + std::to_string(c.bad_length + c.bad_header + c.wrong_format) +
         ",\"wrong_channel\":" + std::to_string(c.wrong_channel) +
         ",\"lost_sync\":" + std::to_string(c.lost_sync) +
         ",\"encrypted\":" + std::to_string(c.encrypted) +
         ",\"bytes\":" + std::to_string(r.link.bytes_delivered) + "}}}";
    return j;
}

bool CheckSystemDeck(int device, std::chrono::milliseconds receive, DeckCheckReport& report,
                     bool play) {
    report.device_nodes = ListDeviceNodes();
#ifdef TESSALINE_HAVE_RAW1394
    std::string reason;
    auto ports = OpenRaw1394Ports(reason);
    report.bus_problem = reason;
    int base = 0;
    for (auto& raw : ports) {
        Ieee1394Port port(std::move(raw));
        DeckCheckReport part;
        CheckDeck(port, device - base, receive, part, play);
        const int found = static_cast<int>(part.decks.size());
        // Nodes and decks of every bus; the deck's details from the bus that has it.
        report.nodes_status = part.nodes_status;
        report.nodes.insert(report.nodes.end(), part.nodes.begin(), part.nodes.end());
        report.decks.insert(report.decks.end(), part.decks.begin(), part.decks.end());
        if (part.deck && !report.deck) {
            part.nodes = report.nodes;
            part.decks = report.decks;
            part.device_nodes = std::move(report.device_nodes);
            part.bus_problem = std::move(report.bus_problem);
            report = std::move(part);
        }
        base += found;
    }
    return report.deck.has_value();
#else
    (void)device;
    (void)receive;
    report.bus_problem = "built without libraw1394: no real deck can be used";
    return false;
#endif
}

}  // namespace tessaline::fw
