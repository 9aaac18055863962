#include "tests/support/ieee1394/fake_bus.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "capture/ieee1394/avc.h"
#include "capture/ieee1394/cip.h"

namespace tessaline::fw {

struct FakeNode {
    uint64_t guid = 0;
    int phy = -1;
    bool local = false;
    bool present = true;
    bool hidden = false;  // on the bus, but its node not yet opened
    bool avc = false;
    bool deck = false;
    FakeDeckConfig config;
    bool powered = false;
    int power_polls_left = 0;
    uint8_t transport_op = avc::kOpWind;
    uint8_t transport_operand = avc::kWindStop;
    std::vector<std::string> commands;
    int channel = -1;  // the channel its plug uses, -1 none
};

struct FakeBus::State {
    mutable std::mutex mu;
    std::vector<FakeNode> nodes;
    uint32_t generation = 0;
    bool stale = false;
    std::deque<FcpFrame> replies;
    std::vector<bool> channel_used = std::vector<bool>(64, false);
    int connections = 0;
    int connect_calls = 0;
    int reconnect_calls = 0;
    int opened_sources = 0;
    int rescans = 0;
    std::chrono::steady_clock::time_point quiet_until{};
    std::vector<IsoScriptItem> script;
    size_t script_pos = 0;
    int listen_channel = -1;
    int iso_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::vector<std::vector<uint8_t>> sent;
    std::vector<int> sent_channels;
    size_t idle_sent = 0;
    int idle_channel = -1;
    size_t reset_after_sent = 0;  // 0: never
    // A deck unplugged once this many packets were sent, and back after that many more.
    size_t unplug_after_sent = 0;  // 0: never
    size_t replug_after_sent = 0;
    uint64_t unplug_guid = 0;
    bool replug_stopped = false;  // it comes back with its transport stopped
    int taken_after_reset = -1;   // a channel another device takes at the next reset
    int opened_sinks = 0;

    ~State() {
        if (iso_fd >= 0) close(iso_fd);
    }

    FakeNode* ByPhy(int phy) {
        for (FakeNode& n : nodes) {
            if (n.present && n.phy == phy) return &n;
        }
        return nullptr;
    }
    FakeNode* ByGuid(uint64_t guid) {
        for (FakeNode& n : nodes) {
            if (n.guid == guid) return &n;
        }
        return nullptr;
    }
    void Renumber() {
        // Every present node but the local one gets a new number, in reverse order.
        std::vector<FakeNode*> others;
        for (FakeNode& n : nodes) {
            if (!n.local && n.present) others.push_back(&n);
        }
        int phy = 1;
        for (auto it = others.rbegin(); it != others.rend(); ++it) (*it)->phy = phy++;
        ++generation;
        stale = true;
        // The resource manager forgets its allocations.
        std::fill(channel_used.begin(), channel_used.end(), false);
        if (taken_after_reset >= 0) {
            channel_used[static_cast<size_t>(taken_after_reset)] = true;
            taken_after_reset = -1;
        }
    }
    void UnplugOrReplugAt(size_t sent_packets) {
        FakeNode* n = ByGuid(unplug_guid);
        if (n == nullptr || unplug_after_sent == 0) return;
        if (sent_packets == unplug_after_sent) {
            n->present = false;
            Renumber();
        } else if (sent_packets == replug_after_sent) {
            n->present = true;
            if (replug_stopped) {
                n->transport_op = avc::kOpWind;
                n->transport_operand = avc::kWindStop;
            }
            Renumber();
        }
    }
    void Signal() {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(iso_fd, &one, sizeof one);
    }
    void Unsignal() {
        uint64_t value = 0;
        [[maybe_unused]] const ssize_t n = read(iso_fd, &value, sizeof value);
    }
    int FreeChannel() const {
        for (int ch = 0; ch < 63; ++ch) {
            if (!channel_used[static_cast<size_t>(ch)]) return ch;
        }
        return -1;
    }
};

namespace {

bool HasTape(const FakeDeckConfig& c) {
    return std::any_of(c.subunits.begin(), c.subunits.end(),
                       [](uint8_t e) { return (e >> 3) == avc::kTapeSubunitType; });
}

void Reply(FakeBus::State& s, int phy, std::vector<uint8_t> bytes) {
    s.replies.push_back(FcpFrame{phy, std::move(bytes)});
}

void Answer(FakeBus::State& s, FakeNode& n, std::vector<uint8_t> cmd) {
    const FakeDeckConfig& c = n.config;
    if (std::find(c.silent_opcodes.begin(), c.silent_opcodes.end(), cmd[2]) !=
        c.silent_opcodes.end()) {
        return;
    }
    if (c.stray_replies) {
        std::vector<uint8_t> other = cmd;
        other[0] = avc::kAccepted;
        Reply(s, n.phy + 7, other);  // another node
        other[2] = static_cast<uint8_t>(cmd[2] ^ 0x01);
        Reply(s, n.phy, other);  // another command
    }
    auto answer = [&](uint8_t response) {
        std::vector<uint8_t> r = cmd;
        r[0] = response;
        return r;
    };
    const bool control = cmd[0] == avc::kControl;
    if (cmd[1] == avc::kUnit) {
        if (cmd[2] == avc::kOpPower && cmd.size() >= 4) {
            if (!control) {
                std::vector<uint8_t> r = answer(avc::kStable);
                bool on = n.powered;
                if (on && n.power_polls_left > 0) {
                    --n.power_polls_left;
                    on = false;
                }
                r[3] = on ? avc::kPowerOn : avc::kPowerOff;
                Reply(s, n.phy, r);
                return;
            }
            if (cmd[3] == avc::kPowerOn) {
                if (c.power_interim) Reply(s, n.phy, answer(avc::kInterim));
                if (!n.powered) n.power_polls_left = c.power_up_polls;
                n.powered = true;
            } else {
                n.powered = false;
                n.transport_op = avc::kOpWind;
                n.transport_operand = avc::kWindStop;
            }
            Reply(s, n.phy, answer(avc::kAccepted));
            return;
        }
        if (cmd[2] == avc::kOpSubunitInfo && cmd.size() >= 8) {
            std::vector<uint8_t> r = answer(avc::kStable);
            const size_t page = (cmd[3] >> 4) & 7;
            for (size_t i = 0; i < 4; ++i) {
                const size_t k = page * 4 + i;
                r[4 + i] = k < c.subunits.size() ? c.subunits[k] : 0xFF;
            }
            Reply(s, n.phy, r);
            return;
        }
        Reply(s, n.phy, answer(avc::kNotImplemented));
        return;
    }
    if (cmd[1] != avc::kTapeSubunit || !HasTape(c) || cmd.size() < 4) {
        Reply(s, n.phy, answer(avc::kNotImplemented));
        return;
    }
    if (cmd[2] == avc::kOpRelativeTimeCounter && !control && cmd.size() >= 8) {
        if (!c.counter_seconds) {
            Reply(s, n.phy, answer(avc::kNotImplemented));
            return;
        }
        // BCD: frames, seconds, minutes, hours.
        auto bcd = [](int v) { return static_cast<uint8_t>((v / 10) << 4 | v % 10); };
        std::vector<uint8_t> r = answer(avc::kStable);
        const int t = *c.counter_seconds;
        r[4] = 0;
        r[5] = bcd(t % 60);
        r[6] = bcd(t / 60 % 60);
        r[7] = bcd(t / 3600);
        Reply(s, n.phy, r);
        return;
    }
    if (cmd[2] == avc::kOpMediumInfo && !control && cmd.size() >= 5) {
        std::vector<uint8_t> r = answer(avc::kStable);
        r[3] = c.has_tape ? 0x22 : avc::kMediumNone;
        r[4] = !c.has_tape ? 0x7F : c.write_protected ? 0x51 : 0x50;
        Reply(s, n.phy, r);
        return;
    }
    if (cmd[2] == avc::kOpTransportState) {
        // As decks answer: the mode in the opcode byte, the state after it.
        std::vector<uint8_t> r = answer(avc::kStable);
        r[2] = n.transport_op;
        r[3] = n.transport_operand;
        Reply(s, n.phy, r);
        return;
    }
    const bool known = cmd[2] == avc::kOpRecord || cmd[2] == avc::kOpPlay ||
                       cmd[2] == avc::kOpWind || cmd[2] == avc::kOpLoadMedium;
    if (!known || !control) {
        Reply(s, n.phy, answer(avc::kNotImplemented));
        return;
    }
    const bool refused = !n.powered || (cmd[2] != avc::kOpWind && !c.has_tape) ||
                         (cmd[2] == avc::kOpRecord && c.write_protected);
    if (refused) {
        Reply(s, n.phy, answer(avc::kRejected));
        return;
    }
    n.transport_op = cmd[2];
    n.transport_operand = cmd[3];
    Reply(s, n.phy, answer(avc::kAccepted));
}

class FakeFcp final : public IFcpPort {
  public:
    explicit FakeFcp(FakeBus::State& s) : s_(s) {}
    BusStatus Send(int phy, std::span<const uint8_t> command) override {
        std::lock_guard lock(s_.mu);
        if (s_.stale) {
            // A handle that has not seen the reset keeps failing until it is told.
            s_.stale = false;
            return BusStatus::BusReset;
        }
        FakeNode* n = s_.ByPhy(phy);
        if (n == nullptr || command.size() < 3) return BusStatus::IoError;
        std::vector<uint8_t> cmd(command.begin(), command.end());
        n->commands.push_back(HexText(cmd));
        if (n->avc) Answer(s_, *n, std::move(cmd));
        return BusStatus::Ok;
    }
    BusStatus Receive(FcpFrame& frame, Clock::time_point /*deadline*/) override {
        std::lock_guard lock(s_.mu);
        // Time does not pass on the fake bus: nothing queued is a time-out at once.
        if (s_.replies.empty()) return BusStatus::Timeout;
        frame = std::move(s_.replies.front());
        s_.replies.pop_front();
        return BusStatus::Ok;
    }

  private:
    FakeBus::State& s_;
};

class FakeNodes final : public IBus {
  public:
    explicit FakeNodes(FakeBus::State& s) : s_(s) {}
    BusStatus Nodes(std::vector<NodeInfo>& nodes) override {
        std::lock_guard lock(s_.mu);
        nodes.clear();
        for (const FakeNode& n : s_.nodes) {
            if (!n.present || n.hidden) continue;
            NodeInfo info;
            info.phy = n.phy;
            info.guid = n.guid;
            info.is_local = n.local;
            info.avc = n.avc;
            info.vendor = n.config.vendor;
            info.model = n.config.model;
            nodes.push_back(info);
        }
        std::sort(nodes.begin(), nodes.end(),
                  [](const NodeInfo& a, const NodeInfo& b) { return a.phy < b.phy; });
        return BusStatus::Ok;
    }
    uint32_t Generation() override {
        std::lock_guard lock(s_.mu);
        return s_.generation;
    }
    BusStatus ReadRegister(int phy, uint32_t offset, uint32_t& value) override {
        std::lock_guard lock(s_.mu);
        const FakeNode* n = s_.ByPhy(phy);
        if (n == nullptr || !n->config.has_plugs) return BusStatus::IoError;
        const uint32_t connection = n->channel >= 0 ? (1u << 24) | (uint32_t(n->channel) << 16) : 0;
        switch (offset) {
            case 0x900:  // oMPR: S400 capable, one plug
            case 0x980:  // iMPR
                value = (2u << 30) | 1u;
                return BusStatus::Ok;
            case 0x904:  // oPCR[0]: online, S200, 242 quadlets
                value = (1u << 31) | connection | (1u << 14) | 242u;
                return BusStatus::Ok;
            case 0x984:  // iPCR[0]: online
                value = (1u << 31) | connection;
                return BusStatus::Ok;
            default:
                return BusStatus::IoError;
        }
    }
    void Rescan() override {
        std::lock_guard lock(s_.mu);
        ++s_.rescans;
        for (FakeNode& n : s_.nodes) n.hidden = false;
    }

  private:
    FakeBus::State& s_;
};

class FakeCmp final : public ICmp {
  public:
    explicit FakeCmp(FakeBus::State& s) : s_(s) {}
    int Connect(CmpConnection& c) override {
        std::lock_guard lock(s_.mu);
        ++s_.connect_calls;
        return Make(c, -1);
    }
    int Reconnect(CmpConnection& c) override {
        std::lock_guard lock(s_.mu);
        ++s_.reconnect_calls;
        return Make(c, c.channel);
    }
    void Disconnect(const CmpConnection& c) override {
        std::lock_guard lock(s_.mu);
        if (s_.connections > 0) --s_.connections;
        if (c.channel >= 0 && c.channel < 63)
            s_.channel_used[static_cast<size_t>(c.channel)] = false;
        if (FakeNode* n = s_.ByPhy(c.output_phy >= 0 ? c.output_phy : c.input_phy)) n->channel = -1;
    }

  private:
    int Make(CmpConnection& c, int wanted) {
        FakeNode* n = s_.ByPhy(c.output_phy >= 0 ? c.output_phy : c.input_phy);
        if (n == nullptr || !n->config.has_plugs) return -1;
        int ch = -1;
        if (wanted >= 0 && !s_.channel_used[static_cast<size_t>(wanted)]) ch = wanted;
        if (ch < 0) ch = s_.FreeChannel();
        if (ch < 0) return -1;
        // Compare-swap on the plug: a plug already connected keeps its count, not a second one.
        if (n->channel < 0) ++s_.connections;
        s_.channel_used[static_cast<size_t>(ch)] = true;
        n->channel = ch;
        c.channel = ch;
        c.output_plug = c.input_plug = 0;
        return ch;
    }

    FakeBus::State& s_;
};

class FakeIsoSource final : public IIsoSource {
  public:
    explicit FakeIsoSource(std::shared_ptr<FakeBus::State> s) : s_(std::move(s)) {}
    bool Start(int channel) override {
        std::lock_guard lock(s_->mu);
        s_->listen_channel = channel;
        ++s_->opened_sources;
        if (s_->script_pos < s_->script.size()) s_->Signal();
        return true;
    }
    int Fd() override { return s_->iso_fd; }
    IsoStatus Iterate(IsoPacketSink& sink) override {
        constexpr int kBatch = 64;
        std::unique_lock lock(s_->mu);
        const auto now = std::chrono::steady_clock::now();
        if (now < s_->quiet_until) {
            // A quiet deck: nothing yet; look again shortly.
            const auto nap = std::min<std::chrono::steady_clock::duration>(
                s_->quiet_until - now, std::chrono::milliseconds(5));
            lock.unlock();
            std::this_thread::sleep_for(nap);
            return IsoStatus::Ok;
        }
        IsoStatus status = IsoStatus::Ok;
        for (int i = 0; i < kBatch && s_->script_pos < s_->script.size(); ++i) {
            IsoScriptItem& item = s_->script[s_->script_pos++];
            if (item.kind == IsoScriptItem::Kind::End) {
                status = IsoStatus::End;
                break;
            }
            if (item.kind == IsoScriptItem::Kind::Wait) {
                s_->quiet_until = std::chrono::steady_clock::now() + item.wait;
                break;
            }
            if (item.kind == IsoScriptItem::Kind::Replug) {
                for (FakeNode& n : s_->nodes) {
                    if (n.deck && !n.present) {
                        n.present = true;
                        n.hidden = item.hidden;
                    }
                }
                s_->Renumber();
                status = IsoStatus::BusReset;
                break;
            }
            if (item.kind == IsoScriptItem::Kind::BusReset) {
                if (item.unplug) {
                    for (FakeNode& n : s_->nodes) {
                        if (n.deck) n.present = false;
                    }
                }
                s_->Renumber();
                status = IsoStatus::BusReset;
                break;
            }
            IsoPacket p;
            p.data = item.bytes.data();
            p.length = item.bytes.size();
            p.channel = static_cast<unsigned>(item.channel < 0 ? s_->listen_channel : item.channel);
            p.tag = item.tag;
            p.sy = item.sy;
            p.dropped = item.dropped;
            lock.unlock();
            const bool go_on = sink.Packet(p);
            lock.lock();
            if (!go_on) return IsoStatus::Error;
        }
        if (s_->script_pos >= s_->script.size() && status != IsoStatus::End) s_->Unsignal();
        return status;
    }
    void Stop() override {}

  private:
    std::shared_ptr<FakeBus::State> s_;
};

class FakeIsoSink final : public IIsoSink {
  public:
    explicit FakeIsoSink(std::shared_ptr<FakeBus::State> s)
        : s_(std::move(s)), fd_(eventfd(1, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~FakeIsoSink() override {
        if (fd_ >= 0) close(fd_);
    }
    bool Start(int channel, IsoPacketSource& source, int /*speed*/) override {
        source_ = &source;
        channel_ = channel;
        std::lock_guard lock(s_->mu);
        generation_ = s_->generation;
        return true;
    }
    int Fd() override { return fd_; }
    IsoStatus Iterate() override {
        constexpr int kCycles = 250;
        uint8_t buffer[kMaxIsoPayload];
        std::vector<std::vector<uint8_t>> batch;
        bool data = false;
        for (int i = 0; i < kCycles && !source_->Done(); ++i) {
            unsigned tag = 0, sy = 0;
            const size_t n = source_->Fill(buffer, sizeof buffer, cycle_, tag, sy);
            cycle_ = (cycle_ + 1) % 8000;
            batch.emplace_back(buffer, buffer + n);
            data = data || n > kCipHeaderBytes;
        }
        if (!data && !batch.empty()) {
            // Only CIP headers (a signal without data): counted, not kept, and at a pace, since
            // such a sender never ends by itself.
            {
                std::lock_guard lock(s_->mu);
                s_->idle_sent += batch.size();
                s_->idle_channel = channel_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        } else {
            for (auto& packet : batch) {
                std::lock_guard lock(s_->mu);
                s_->sent.push_back(std::move(packet));
                s_->sent_channels.push_back(channel_);
                if (s_->sent.size() == s_->reset_after_sent) s_->Renumber();
                s_->UnplugOrReplugAt(s_->sent.size());
            }
        }
        // A handle hears every bus reset once.
        std::lock_guard lock(s_->mu);
        if (s_->generation == generation_) return IsoStatus::Ok;
        generation_ = s_->generation;
        return IsoStatus::BusReset;
    }
    void Stop(bool drain, int /*stop_fd*/) override {
        std::lock_guard lock(s_->mu);
        (void)drain;
    }

  private:
    std::shared_ptr<FakeBus::State> s_;
    int fd_;
    IsoPacketSource* source_ = nullptr;
    int channel_ = -1;
    unsigned cycle_ = 0;
    uint32_t generation_ = 0;
};

}  // namespace

struct FakeBus::Parts {
    explicit Parts(FakeBus::State& s) : fcp(s), nodes(s), cmp(s) {}
    FakeFcp fcp;
    FakeNodes nodes;
    FakeCmp cmp;
};

FakeBus::FakeBus() : state_(std::make_shared<State>()), parts_(std::make_unique<Parts>(*state_)) {
    FakeNode local;
    local.guid = 0x0011060000000001ull;
    local.phy = 0;
    local.local = true;
    state_->nodes.push_back(local);
}

FakeBus::~FakeBus() = default;

int FakeBus::AddDeck(FakeDeckConfig config) {
    std::lock_guard lock(state_->mu);
    FakeNode n;
    n.guid = config.guid;
    n.phy = static_cast<int>(state_->nodes.size());
    n.avc = config.avc;
    n.deck = true;
    n.powered = config.powered;
    n.config = std::move(config);
    state_->nodes.push_back(std::move(n));
    return state_->nodes.back().phy;
}

int FakeBus::AddNode(uint64_t guid, bool avc, std::optional<std::string> vendor) {
    FakeDeckConfig c;
    c.guid = guid;
    c.avc = avc;
    c.vendor = std::move(vendor);
    c.model = std::nullopt;
    c.subunits = {};
    std::lock_guard lock(state_->mu);
    FakeNode n;
    n.guid = guid;
    n.phy = static_cast<int>(state_->nodes.size());
    n.avc = avc;
    n.config = std::move(c);
    state_->nodes.push_back(std::move(n));
    return state_->nodes.back().phy;
}

void FakeBus::Reset() {
    std::lock_guard lock(state_->mu);
    state_->Renumber();
}

void FakeBus::Unplug(uint64_t guid) {
    std::lock_guard lock(state_->mu);
    if (FakeNode* n = state_->ByGuid(guid)) n->present = false;
    state_->Renumber();
}

void FakeBus::Replug(uint64_t guid) {
    std::lock_guard lock(state_->mu);
    if (FakeNode* n = state_->ByGuid(guid)) n->present = true;
    state_->Renumber();
}

void FakeBus::Script(std::vector<IsoScriptItem> items) {
    std::lock_guard lock(state_->mu);
    state_->script = std::move(items);
    state_->script_pos = 0;
    state_->Signal();
}

void FakeBus::ResetWhenSent(size_t packets) {
    std::lock_guard lock(state_->mu);
    state_->reset_after_sent = packets;
}

std::vector<std::vector<uint8_t>> FakeBus::Sent() const {
    std::lock_guard lock(state_->mu);
    return state_->sent;
}

size_t FakeBus::IdleSent() const {
    std::lock_guard lock(state_->mu);
    return state_->idle_sent;
}

void FakeBus::TakeChannelAtNextReset(int channel) {
    std::lock_guard lock(state_->mu);
    state_->taken_after_reset = channel;
}

std::vector<int> FakeBus::SentChannels() const {
    std::lock_guard lock(state_->mu);
    return state_->sent_channels;
}

void FakeBus::UnplugWhenSent(uint64_t guid, size_t packets, size_t back_after, bool stopped) {
    std::lock_guard lock(state_->mu);
    state_->unplug_guid = guid;
    state_->unplug_after_sent = packets;
    state_->replug_after_sent = packets + back_after;
    state_->replug_stopped = stopped;
}

int FakeBus::OpenedSinks() const {
    std::lock_guard lock(state_->mu);
    return state_->opened_sinks;
}

void FakeBus::SetTransport(uint64_t guid, uint8_t opcode, uint8_t operand) {
    std::lock_guard lock(state_->mu);
    if (FakeNode* n = state_->ByGuid(guid)) {
        n->transport_op = opcode;
        n->transport_operand = operand;
    }
}

std::vector<std::string> FakeBus::Commands(uint64_t guid) const {
    std::lock_guard lock(state_->mu);
    const FakeNode* n = state_->ByGuid(guid);
    return n ? n->commands : std::vector<std::string>{};
}

int FakeBus::Connections() const {
    std::lock_guard lock(state_->mu);
    return state_->connections;
}
int FakeBus::ConnectCalls() const {
    std::lock_guard lock(state_->mu);
    return state_->connect_calls;
}
int FakeBus::ReconnectCalls() const {
    std::lock_guard lock(state_->mu);
    return state_->reconnect_calls;
}
int FakeBus::OpenedSources() const {
    std::lock_guard lock(state_->mu);
    return state_->opened_sources;
}
int FakeBus::Rescans() const {
    std::lock_guard lock(state_->mu);
    return state_->rescans;
}

std::pair<uint8_t, uint8_t> FakeBus::Transport(uint64_t guid) const {
    std::lock_guard lock(state_->mu);
    const FakeNode* n = state_->ByGuid(guid);
    return n ? std::pair{n->transport_op, n->transport_operand} : std::pair<uint8_t, uint8_t>{};
}

bool FakeBus::Powered(uint64_t guid) const {
    std::lock_guard lock(state_->mu);
    const FakeNode* n = state_->ByGuid(guid);
    return n != nullptr && n->powered;
}

void FakeBus::QueueReply(int phy, std::vector<uint8_t> bytes) {
    std::lock_guard lock(state_->mu);
    Reply(*state_, phy, std::move(bytes));
}

IFcpPort& FakeBus::Fcp() {
    return parts_->fcp;
}
IBus& FakeBus::Bus() {
    return parts_->nodes;
}
ICmp& FakeBus::Cmp() {
    return parts_->cmp;
}

std::unique_ptr<IIsoSource> FakeBus::OpenIsoSource() {
    return std::make_unique<FakeIsoSource>(state_);
}

std::unique_ptr<IIsoSink> FakeBus::OpenIsoSink() {
    {
        std::lock_guard lock(state_->mu);
        ++state_->opened_sinks;
    }
    return std::make_unique<FakeIsoSink>(state_);
}

std::vector<IsoScriptItem> IsoPacketsFrom(const std::vector<uint8_t>& sp, int per_cycle,
                                          uint8_t first_dbc) {
    std::vector<IsoScriptItem> items;
    CipWriter writer(1, first_dbc);
    uint8_t buffer[kCipHeaderBytes + 64 * kSourcePacketBytes];
    const size_t count = sp.size() / kSourcePacketBytes;
    size_t i = 0;
    while (i < count) {
        IsoScriptItem item;
        if (per_cycle <= 0) {
            const size_t n = writer.SourcePackets(buffer, sizeof buffer, nullptr, 0);
            item.bytes.assign(buffer, buffer + n);
            items.push_back(item);
            item.bytes.clear();
        }
        const int take = std::min<int>(std::max(per_cycle, 1), static_cast<int>(count - i));
        const size_t n =
            writer.SourcePackets(buffer, sizeof buffer, sp.data() + i * kSourcePacketBytes, take);
        item.bytes.assign(buffer, buffer + n);
        items.push_back(std::move(item));
        i += static_cast<size_t>(take);
    }
    return items;
}

std::vector<IsoScriptItem> SplitIsoPacketsFrom(const std::vector<uint8_t>& sp, uint8_t first_dbc) {
    std::vector<IsoScriptItem> items;
    CipWriter writer(1, first_dbc);
    uint8_t buffer[kCipHeaderBytes + kSourcePacketBytes];
    for (size_t pos = 0; pos + 96 <= sp.size(); pos += 96) {
        const size_t n = writer.Packet(buffer, sizeof buffer, sp.data() + pos, 96);
        IsoScriptItem item;
        item.bytes.assign(buffer, buffer + n);
        items.push_back(std::move(item));
    }
    return items;
}

}  // namespace tessaline::fw
