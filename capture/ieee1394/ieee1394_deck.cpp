#include "capture/ieee1394/ieee1394_deck.h"

#include <cstdio>
#include <thread>

#include "capture/ieee1394/isodump.h"

namespace tessaline::fw {

HResult AvcResult(const AvcReply& reply) {
    switch (reply.status) {
        case BusStatus::Ok:
            break;
        case BusStatus::Timeout:
            return kE_TIMEOUT;
        case BusStatus::BusReset:
            return kE_ABORT;
        case BusStatus::IoError:
            return kE_FAIL;
    }
    switch (reply.response) {
        case avc::kAccepted:
        case avc::kStable:
            return kS_OK;
        case avc::kNotImplemented:
            return kE_NOTIMPL;
        case avc::kInTransition:
            return kVFW_E_WRONG_STATE;
        default:
            return kE_FAIL;
    }
}

Ieee1394Deck::Ieee1394Deck(std::shared_ptr<Ieee1394Port> port, DeckEntry entry, DeckTiming timing)
    : port_(std::move(port)), entry_(std::move(entry)), timing_(std::move(timing)) {
    if (!timing_.sleep) {
        timing_.sleep = [](std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); };
    }
}

DeckListing Ieee1394Deck::Listing() const {
    DeckListing listing;
    listing.friendly_name = kDeckFriendlyName;
    listing.vendor = entry_.vendor;
    listing.model = entry_.model;
    listing.device_type = ED_DEVTYPE_VCR;
    return listing;
}

AvcReply Ieee1394Deck::Command(const Frame& frame) {
    std::lock_guard lock(port_->mutex());
    AvcReply reply;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const std::optional<int> phy = FindPhyByGuid(port_->bus().Bus(), entry_.guid);
        if (!phy) {
            reply = AvcReply{};
            reply.status = BusStatus::IoError;
            return reply;
        }
        entry_.phy = *phy;
        reply = port_->avc().Transact(*phy, frame);
        if (reply.status != BusStatus::BusReset) break;
    }
    return reply;
}

HResult Ieee1394Deck::GetPower(int32_t& state) {
    const AvcReply reply = Command(avc::PowerStatus());
    switch (DecodePower(reply)) {
        case PowerState::On:
            state = ED_POWER_ON;
            return kS_OK;
        case PowerState::Off:
            state = ED_POWER_OFF;
            return kS_OK;
        case PowerState::Unknown:
            break;
    }
    const HResult hr = AvcResult(reply);
    return hr == kS_OK ? kE_FAIL : hr;
}

HResult Ieee1394Deck::SetPower(int32_t state) {
    if (state == ED_POWER_OFF || state == ED_POWER_STANDBY) {
        // AV/C knows only on and off; "off" keeps the deck's 1394 side alive.
        return AvcResult(Command(avc::PowerOff()));
    }
    if (state != ED_POWER_ON) return kE_INVALIDARG;
    if (const HResult hr = AvcResult(Command(avc::PowerOn())); hr != kS_OK) return hr;
    // Transport commands are refused while the deck is still waking up: wait until it says on.
    for (int i = 0; i < timing_.power_checks; ++i) {
        if (DecodePower(Command(avc::PowerStatus())) == PowerState::On) return kS_OK;
        timing_.sleep(timing_.power_check_interval);
    }
    return kE_TIMEOUT;
}

HResult Ieee1394Deck::SetMode(int32_t mode) {
    switch (mode) {
        case ED_MODE_RECORD:
            return AvcResult(Command(avc::Record()));
        case ED_MODE_RECORD_FREEZE:
            return AvcResult(Command(avc::RecordPause()));
        case ED_MODE_STOP:
            return AvcResult(Command(avc::Stop()));
        default:
            return kE_NOTIMPL;
    }
}

TransportState Ieee1394Deck::QueryTransport() {
    return DecodeTransport(Command(avc::TransportState()));
}

std::string StreamTrouble(const LinkReport& r) {
    std::string text;
    auto add = [&](uint64_t count, const char* what) {
        if (count == 0) return;
        if (!text.empty()) text += ", ";
        text += std::to_string(count) + " " + what;
    };
    const CipStats& c = r.cip;
    add(c.dbc_gaps, "gaps in the stream");
    add(c.blocks_lost, "data blocks lost in them");
    add(c.bus_dropped, "packets dropped by the driver");
    add(c.bad_length + c.bad_header + c.wrong_format, "malformed packets");
    add(c.lost_sync, "source packets out of sync");
    add(c.encrypted, "packets marked copy-protected");
    add(r.reconnects, "reconnections after bus resets");
    if (!r.error.empty()) {
        if (!text.empty()) text += "; ";
        text += r.error;
    }
    return text;
}

namespace {

class DumpTap final : public IsoPacketSink {
  public:
    explicit DumpTap(IsoDumpWriter& writer) : writer_(writer) {}
    bool Packet(const IsoPacket& packet) override {
        writer_.Write(packet);
        return true;
    }

  private:
    IsoDumpWriter& writer_;
};

}  // namespace

int32_t Ieee1394Deck::Capture(ISampleGrabberCB& callback, const StopSignal& stop) {
    IsoDumpWriter dump;
    DumpTap tap(dump);
    std::string dump_error;
    if (!iso_dump_.empty() && !dump.Open(iso_dump_, ~uint64_t{0}, dump_error)) {
        std::fprintf(stderr, "tessaline: iso dump: %s\n", dump_error.c_str());
    }
    const int32_t event = ReceiveLoop(*port_, entry_.guid, callback, stop, timing_.stream, report_,
                                      dump.is_open() ? &tap : nullptr);
    if (dump.is_open() && !dump.Close(dump_error)) {
        std::fprintf(stderr, "tessaline: iso dump: %s\n", dump_error.c_str());
    }
    // What went wrong on the bus is told once, when the stream ends.
    if (const std::string trouble = StreamTrouble(report_.Get()); !trouble.empty() && report_out_) {
        std::fprintf(stderr, "tessaline: deck %s: %s\n", GuidText(entry_.guid).c_str(),
                     trouble.c_str());
    }
    return event;
}

void Ieee1394Deck::InputConnected() {
    std::lock_guard lock(input_mu_);
    if (!input_) input_ = std::make_unique<InputSignal>(*port_, entry_.guid);
}

void Ieee1394Deck::InputReleased() {
    std::unique_ptr<InputSignal> input;
    {
        std::lock_guard lock(input_mu_);
        input = std::move(input_);
    }
}

int32_t Ieee1394Deck::Playback(const std::string& path, const StopSignal& stop) {
    // The connection made when the graph was built carries on into the write.
    std::optional<CmpConnection> existing;
    {
        std::lock_guard lock(input_mu_);
        if (input_) existing = input_->TakeOver();
        input_.reset();
    }
    const int32_t event =
        TransmitLoop(*port_, entry_.guid, path, stop, timing_.stream, report_, existing);
    if (const std::string error = report_.Get().error; !error.empty() && report_out_) {
        std::fprintf(stderr, "tessaline: deck %s: %s\n", GuidText(entry_.guid).c_str(),
                     error.c_str());
    }
    return event;
}

HResult Ieee1394Deck::Prepare(bool playback, const std::string& path) {
    std::string problem;
    if (playback) {
        TransmitPlan plan;
        if (!ScanTransmitFile(path, plan, problem)) problem = "cannot send " + problem;
    }
    if (problem.empty()) {
        std::lock_guard lock(port_->mutex());
        if (!FindPhyByGuid(port_->bus().Bus(), entry_.guid)) problem = "the deck is not on the bus";
    }
    if (problem.empty()) return kS_OK;
    if (report_out_) {
        std::fprintf(stderr, "tessaline: deck %s: %s\n", GuidText(entry_.guid).c_str(),
                     problem.c_str());
    }
    return playback ? kE_INVALIDARG : kVFW_E_NOT_FOUND;
}

std::string Ieee1394Deck::Describe() {
    const AvcReply power = Command(avc::PowerStatus());
    const TransportState transport = QueryTransport();
    std::optional<int> phy;
    {
        std::lock_guard lock(port_->mutex());
        phy = FindPhyByGuid(port_->bus().Bus(), entry_.guid);
    }
    std::string text = "IEEE 1394 deck, GUID " + GuidText(entry_.guid) + ", node " +
                       (phy ? std::to_string(*phy) : std::string("gone")) + ", power " +
                       PowerText(DecodePower(power));
    if (power.status != BusStatus::Ok)
        text += std::string(" (") + BusStatusText(power.status) + ")";
    text += std::string(", transport ") + TransportText(transport.kind);
    const LinkReport last = report_.Get();
    if (last.cip.packets != 0) {
        text += ", last stream: " + std::to_string(last.cip.source_packets) + " packets, " +
                std::to_string(last.cip.dbc_gaps) + " gaps";
    }
    if (!last.error.empty()) text += ", last error: " + last.error;
    return text;
}

std::vector<std::shared_ptr<Ieee1394Deck>> FindIeee1394Decks(
    const std::shared_ptr<Ieee1394Port>& port, const DeckTiming& timing) {
    std::vector<DeckEntry> entries;
    {
        std::lock_guard lock(port->mutex());
        FindDecks(port->bus().Bus(), port->avc(), entries);
    }
    std::vector<std::shared_ptr<Ieee1394Deck>> decks;
    for (DeckEntry& entry : entries) {
        decks.push_back(std::make_shared<Ieee1394Deck>(port, std::move(entry), timing));
    }
    return decks;
}

}  // namespace tessaline::fw
