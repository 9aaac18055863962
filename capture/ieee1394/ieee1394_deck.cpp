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

AvcReply Ieee1394Deck::Avc(const Frame& frame, bool wait_for_deck) {
    const auto give_up =
        Clock::now() + (wait_for_deck ? timing_.deck_return : std::chrono::milliseconds(0));
    for (;;) {
        AvcReply reply;
        reply.status = BusStatus::IoError;  // not on the bus
        {
            std::lock_guard lock(port_->mutex());
            for (int attempt = 0; attempt < 2; ++attempt) {
                std::optional<int> phy = FindPhyByGuid(port_->bus().Bus(), entry_.guid);
                if (!phy && wait_for_deck) {
                    // Back already, but its new node not yet seen.
                    port_->bus().Bus().Rescan();
                    phy = FindPhyByGuid(port_->bus().Bus(), entry_.guid);
                }
                if (!phy) break;
                entry_.phy = *phy;
                reply = port_->avc().Transact(*phy, frame);
                if (reply.status != BusStatus::BusReset) return reply;
            }
        }
        if (Clock::now() >= give_up) return reply;
        timing_.sleep(std::chrono::milliseconds(100));
    }
}

HResult Ieee1394Deck::GetPower(int32_t& state) {
    const AvcReply reply = Avc(avc::PowerStatus());
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
        return AvcResult(Avc(avc::PowerOff()));
    }
    if (state != ED_POWER_ON) return kE_INVALIDARG;
    if (const HResult hr = AvcResult(Avc(avc::PowerOn(), true)); hr != kS_OK) return hr;
    // Transport commands are refused while the deck is still waking up: wait until it says on.
    for (int i = 0; i < timing_.power_checks; ++i) {
        if (DecodePower(Avc(avc::PowerStatus())) == PowerState::On) return kS_OK;
        timing_.sleep(timing_.power_check_interval);
    }
    return kE_TIMEOUT;
}

HResult Ieee1394Deck::SetMode(int32_t mode) {
    Frame frame;
    switch (mode) {
        case ED_MODE_RECORD:
            frame = avc::Record();
            break;
        case ED_MODE_RECORD_FREEZE:
            frame = avc::RecordPause();
            break;
        case ED_MODE_STOP:
            frame = avc::Stop();
            break;
        default:
            return kE_NOTIMPL;
    }
    std::lock_guard lock(command_mu_);
    const HResult hr = AvcResult(Avc(frame, true));
    // What the deck was told last, so that a deck that comes back from a short unplug is told
    // again; a stop forgets it, as does a refusal.
    wanted_mode_ = hr == kS_OK && mode != ED_MODE_STOP ? mode : 0;
    return hr;
}

void Ieee1394Deck::ResumeTransport() {
    std::lock_guard lock(command_mu_);
    const int32_t wanted = wanted_mode_.load();
    if (wanted == 0) return;
    const TransportState now = QueryTransport();
    const bool recording = now.kind == TransportState::Kind::Recording;
    const bool pausing = now.kind == TransportState::Kind::RecordPause;
    if (wanted == ED_MODE_RECORD_FREEZE && !pausing && !recording) {
        Avc(avc::RecordPause(), true);
        return;
    }
    if (wanted != ED_MODE_RECORD || recording) return;
    // From anything but record-pause, through record-pause, as at the start of a write.
    if (!pausing) {
        Avc(avc::RecordPause(), true);
        timing_.sleep(timing_.record_pause_settle);
    }
    Avc(avc::Record(), true);
}

TransportState Ieee1394Deck::QueryTransport() {
    return DecodeTransport(Avc(avc::TransportState()));
}

std::string StreamTrouble(const LinkReport& r) {
    std::string text;
    auto add = [&](uint64_t count, const char* one, const char* many) {
        if (count == 0) return;
        if (!text.empty()) text += ", ";
        text += std::to_string(count) + " " + (count == 1 ? one : many);
    };
    const CipStats& c = r.cip;
    add(c.dbc_gaps, "gap in the stream", "gaps in the stream");
    add(c.blocks_lost, "data block lost in them", "data blocks lost in them");
    add(c.bus_dropped, "packet dropped by the driver", "packets dropped by the driver");
    add(c.bad_length + c.bad_header + c.wrong_format, "malformed packet", "malformed packets");
    add(c.lost_sync, "source packet out of sync", "source packets out of sync");
    add(c.encrypted, "packet marked copy-protected", "packets marked copy-protected");
    add(r.reconnects, "reconnection after a bus reset or unplug",
        "reconnections after bus resets or unplugs");
    add(r.silence_retries, "new connection after the stream went quiet",
        "new connections after the stream went quiet");
    for (const StreamGap& gap : r.gaps) {
        if (!text.empty()) text += ", ";
        text += "missing " + StreamGapText(gap);
    }
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
                                      dump.is_open() ? &tap : nullptr, events_);
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
    if (!input_) input_ = std::make_shared<InputSignal>(*port_, entry_.guid, timing_.stream);
}

void Ieee1394Deck::InputReleased() {
    std::shared_ptr<InputSignal> input;
    {
        std::lock_guard lock(input_mu_);
        input = std::move(input_);
    }
}

int32_t Ieee1394Deck::Playback(const std::string& path, const StopSignal& stop) {
    // The signal sent since the graph was built carries the file, without a gap, and goes on
    // after it until the graph lets the deck's input go.
    std::shared_ptr<InputSignal> input;
    {
        std::lock_guard lock(input_mu_);
        input = input_;
    }
    InputLink* link = input ? input->Borrow() : nullptr;
    // The deck was away while its input had only the empty signal (after record was sent): it
    // may have left record meanwhile.
    if (link != nullptr && link->reconnects() > 0) ResumeTransport();
    const int32_t event = TransmitLoop(*port_, entry_.guid, path, stop, timing_.stream, report_,
                                       link, [this] { ResumeTransport(); });
    if (input) input->Return();
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
        // A deck off the bus for a moment (a cable nudged during the lead) is waited for, as the
        // transport commands wait for it.
        const auto give_up = Clock::now() + timing_.deck_return;
        for (;;) {
            {
                std::lock_guard lock(port_->mutex());
                if (FindPhyByGuid(port_->bus().Bus(), entry_.guid)) break;
                port_->bus().Bus().Rescan();
                if (FindPhyByGuid(port_->bus().Bus(), entry_.guid)) break;
            }
            if (Clock::now() >= give_up) {
                problem = "the deck is not on the bus";
                break;
            }
            timing_.sleep(std::chrono::milliseconds(100));
        }
    }
    if (problem.empty()) return kS_OK;
    if (report_out_) {
        std::fprintf(stderr, "tessaline: deck %s: %s\n", GuidText(entry_.guid).c_str(),
                     problem.c_str());
    }
    return playback ? kE_INVALIDARG : kVFW_E_NOT_FOUND;
}

namespace {

DeckTransport FromTransport(TransportState::Kind kind) {
    using K = TransportState::Kind;
    switch (kind) {
        case K::Stopped:
            return DeckTransport::Stop;
        case K::Playing:
            return DeckTransport::Play;
        case K::PlayPause:
            return DeckTransport::Pause;
        case K::Recording:
            return DeckTransport::Record;
        case K::RecordPause:
            return DeckTransport::RecordPause;
        case K::Rewinding:
            return DeckTransport::Rewind;
        case K::FastForwarding:
            return DeckTransport::FastForward;
        default:
            return DeckTransport::Unknown;
    }
}

DeckMedium FromMedium(MediumState medium) {
    switch (medium) {
        case MediumState::Present:
            return DeckMedium::Present;
        case MediumState::None:
            return DeckMedium::None;
        case MediumState::Protected:
            return DeckMedium::Protected;
        case MediumState::Unknown:
            break;
    }
    return DeckMedium::Unknown;
}

}  // namespace

bool Ieee1394Deck::Status(DeckStatus& s) {
    s = DeckStatus{};
    auto keep = [&](const char* name, const AvcReply& reply) {
        s.replies.emplace_back(
            name, reply.ok() ? HexText(reply.bytes) : std::string(BusStatusText(reply.status)));
    };
    const AvcReply power = Avc(avc::PowerStatus());
    keep("power", power);
    switch (DecodePower(power)) {
        case PowerState::On:
            s.power = ED_POWER_ON;
            break;
        case PowerState::Off:
            s.power = ED_POWER_OFF;
            break;
        case PowerState::Unknown:
            break;
    }
    const AvcReply transport = Avc(avc::TransportState());
    keep("transport", transport);
    s.transport = FromTransport(DecodeTransport(transport).kind);
    // D-VHS decks count with the relative time counter; others may keep a time code instead.
    AvcReply counter = Avc(avc::RelativeTimeCounter());
    s.position_seconds = DecodeCounter(counter);
    if (!s.position_seconds && counter.ok()) {
        const AvcReply code = Avc(avc::TimeCode());
        if (const std::optional<double> at = DecodeCounter(code)) {
            counter = code;
            s.position_seconds = at;
        }
    }
    keep("position", counter);
    const AvcReply medium = Avc(avc::MediumInfo());
    keep("medium", medium);
    s.medium = FromMedium(DecodeMedium(medium));
    // A deck that answered nothing at all cannot be said to be in any state.
    return power.ok() || transport.ok();
}

HResult Ieee1394Deck::Command(TapeCommand command) {
    Frame frame;
    switch (command) {
        case TapeCommand::PowerOn:
            return SetPower(ED_POWER_ON);
        case TapeCommand::PowerOff:
            return SetPower(ED_POWER_OFF);
        case TapeCommand::Play:
            frame = avc::Play();
            break;
        case TapeCommand::Pause:
            frame = avc::PlayPause();
            break;
        case TapeCommand::Stop:
            frame = avc::Stop();
            break;
        case TapeCommand::Rewind:
            frame = avc::Rewind();
            break;
        case TapeCommand::FastForward:
            frame = avc::FastForward();
            break;
        case TapeCommand::RecordPause:
            frame = avc::RecordPause();
            break;
    }
    std::lock_guard lock(command_mu_);
    return AvcResult(Avc(frame, true));
}

std::string Ieee1394Deck::Describe() {
    DeckStatus status;
    const bool answered = Status(status);
    std::optional<int> phy;
    {
        std::lock_guard lock(port_->mutex());
        phy = FindPhyByGuid(port_->bus().Bus(), entry_.guid);
    }
    std::string text = "IEEE 1394 deck, GUID " + GuidText(entry_.guid) + ", node " +
                       (phy ? std::to_string(*phy) : std::string("gone")) + ", power " +
                       DevicePowerText(status.power);
    if (!answered) text += " (" + status.replies.front().second + ")";
    text += std::string(", transport ") + DeckTransportText(status.transport) + ", position " +
            TapePositionText(status.position_seconds) + ", medium " + DeckMediumText(status.medium);
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
