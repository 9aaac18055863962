// SPDX-License-Identifier: GPL-3.0-or-later
// fwemu_probe: a client of the emulated bus for the emulator's own tests. It talks to /dev/fw*
// the way the kernel interface is used (raw ioctls) and through the unmodified libraries, and
// prints one line per observation for the test to read. Steps run in order:
//   devs                      the fw nodes /dev lists, in its order
//   avc HEX...                an AV/C frame to the deck; prints the answer
//   connect                   a connection from the deck's output plug to us (libiec61883)
//   recv FILE SECONDS         receive on the connection's channel (63 without one) for SECONDS;
//                             the TS packets go to FILE
//   play-recv FILE SECONDS    the same, with PLAY sent once the receiver listens, until the
//                             deck's transport has stopped (or SECONDS pass)
//   xmit PACKETS              transmit empty CIP packets on channel 10
//   send FILE                 connect us to the deck's input, send empty packets, RECORD PAUSE
//                             and RECORD, then FILE's 188-byte packets one a cycle, then STOP
//   opcr                      the deck's oPCR, read through a new handle
//   restore                   a compare-swap of the oPCR with its own value, as the kernel's
//                             CMP code restores a connection after a bus reset
//   irm                       the resource manager's registers
//   channel alloc|free N, bandwidth alloc|free N   at the resource manager
//   refusals                  ioctls the kernel refuses, with their errno
//   watch-until bus-reset|replaced   the deck's device file and /dev, until the open file got
//                             a bus reset, or gave ENODEV and /dev changed twice
//   sleep SECONDS
//   wait-for FILE             until FILE exists (another process got somewhere)
//   touch FILE                makes FILE, to tell another process
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <libiec61883/iec61883.h>
#include <libraw1394/csr.h>
#include <libraw1394/raw1394.h>
#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

struct Session {
    raw1394handle_t handle = nullptr;
    int deck = -1;  // physical ID
    int channel = -1;
};

bool Open(Session& s) {
    if (s.handle != nullptr) return true;
    s.handle = raw1394_new_handle_on_port(0);
    if (s.handle == nullptr) {
        std::printf("error no handle: %s\n", std::strerror(errno));
        return false;
    }
    const int local = raw1394_get_local_id(s.handle) & 0x3F;
    for (int i = 0; i < raw1394_get_nodecount(s.handle); ++i) {
        if (i != local) s.deck = i;
    }
    return s.deck >= 0;
}

void Close(Session& s) {
    if (s.handle != nullptr) raw1394_destroy_handle(s.handle);
    s.handle = nullptr;
}

// An AV/C command and its final answer, through an address range of our own on the FCP response
// register (the library's FCP listener keeps a few bytes it never frees): libavc1394 gives up
// 200 ms after an INTERIM (and then reads a null response), which a loaded machine can make
// happen.
struct FcpWait {
    uint8_t subunit = 0;
    std::vector<uint8_t> answer;
};

int OnFcpResponse(raw1394handle_t, raw1394_arm_request_response* rr, unsigned int, void* context,
                  byte_t type) {
    auto* wait = static_cast<FcpWait*>(context);
    if (type != RAW1394_ARM_WRITE || rr == nullptr || rr->request == nullptr) return 0;
    const raw1394_arm_request& r = *rr->request;
    if (r.buffer_length < 4 || r.buffer[1] != wait->subunit) return 0;
    // The block is the library's, freed when this returns.
    if (r.buffer[0] != 0x0F) wait->answer.assign(r.buffer, r.buffer + r.buffer_length);
    return 0;
}

std::vector<uint8_t> Avc(raw1394handle_t h, int node, const std::vector<uint8_t>& frame) {
    FcpWait wait;
    wait.subunit = frame.size() > 1 ? frame[1] : 0;
    raw1394_arm_reqhandle tag{&OnFcpResponse, &wait};
    constexpr nodeaddr_t kResponse = CSR_REGISTER_BASE + CSR_FCP_RESPONSE;
    if (raw1394_arm_register(h, kResponse, CSR_FCP_END - CSR_FCP_RESPONSE, nullptr,
                             reinterpret_cast<uintptr_t>(&tag), RAW1394_ARM_WRITE,
                             RAW1394_ARM_WRITE, 0) != 0) {
        return {};
    }
    std::vector<uint8_t> bytes(frame);
    bytes.resize((bytes.size() + 3) / 4 * 4, 0);
    const auto t0 = Clock::now();
    if (raw1394_write(h, static_cast<nodeid_t>(0xFFC0 | node), CSR_REGISTER_BASE + CSR_FCP_COMMAND,
                      bytes.size(), reinterpret_cast<quadlet_t*>(bytes.data())) == 0) {
        pollfd p{raw1394_get_fd(h), POLLIN, 0};
        while (wait.answer.empty() && Since(t0) < 10) {
            if (poll(&p, 1, 50) > 0) raw1394_loop_iterate(h);
        }
    }
    raw1394_arm_unregister(h, kResponse);
    return wait.answer;
}

std::string Hex(const std::vector<uint8_t>& b) {
    std::string s;
    char buf[4];
    for (uint8_t v : b) {
        std::snprintf(buf, sizeof buf, s.empty() ? "%02X" : " %02X", v);
        s += buf;
    }
    return s;
}

// ---- Receiving ------------------------------------------------------------------------------

struct Receive {
    FILE* out = nullptr;
    long packets = 0, source = 0, cycle_steps_bad = 0, dbc_bad = 0;
    long last_cycle = -1;
    int expected_dbc = -1;
};
Receive g_recv;

raw1394_iso_disposition OnReceive(raw1394handle_t, unsigned char* data, unsigned len, unsigned char,
                                  unsigned char, unsigned char, unsigned cycle, unsigned) {
    Receive& r = g_recv;
    // Every cycle carries one packet from a deck that sends: each comes a cycle after the last.
    if (r.last_cycle >= 0 && static_cast<long>(cycle) != (r.last_cycle + 1) % 8000) {
        ++r.cycle_steps_bad;
    }
    r.last_cycle = cycle;
    ++r.packets;
    if (len < 8) return RAW1394_ISO_OK;
    const long n = (static_cast<long>(len) - 8) / 192;
    if (r.expected_dbc >= 0 && data[3] != r.expected_dbc) ++r.dbc_bad;
    r.expected_dbc = (data[3] + 8 * n) & 0xFF;
    for (long i = 0; i < n; ++i) {
        std::fwrite(data + 8 + 192 * i + 4, 1, 188, r.out);
        ++r.source;
    }
    return RAW1394_ISO_OK;
}

bool Stopped(Session& control) {
    const std::vector<uint8_t> a = Avc(control.handle, control.deck, {0x01, 0x20, 0xD0, 0x7F});
    return a.size() >= 4 && a[0] == 0x0C && a[2] == 0xC4 && a[3] == 0x60;
}

void Recv(Session& s, const char* file, double seconds, bool play) {
    g_recv = Receive{};
    g_recv.out = std::fopen(file, "wb");
    raw1394handle_t h = raw1394_new_handle_on_port(0);
    Session control;
    if (g_recv.out == nullptr || h == nullptr || !Open(control)) {
        std::printf("recv error\n");
        return;
    }
    const int channel = s.channel >= 0 ? s.channel : 63;
    if (raw1394_iso_recv_init(h, OnReceive, 4000, 2056, static_cast<unsigned char>(channel),
                              RAW1394_DMA_PACKET_PER_BUFFER, 250) != 0 ||
        raw1394_iso_recv_start(h, -1, -1, 0) != 0) {
        std::printf("recv error start: %s\n", std::strerror(errno));
        return;
    }
    // Sent once we listen, so that nothing the tape plays goes by unheard; then until the tape
    // has stopped.
    if (play) Avc(control.handle, control.deck, {0x00, 0x20, 0xC3, 0x75});
    const auto t0 = Clock::now();
    auto checked = t0;
    pollfd p{raw1394_get_fd(h), POLLIN, 0};
    while (Since(t0) < seconds) {
        if (poll(&p, 1, 20) > 0 && raw1394_loop_iterate(h) != 0) break;
        if (play && std::chrono::duration<double>(Clock::now() - checked).count() > 0.2) {
            checked = Clock::now();
            if (Stopped(control)) break;
        }
    }
    raw1394_iso_shutdown(h);
    raw1394_destroy_handle(h);
    Close(control);
    std::fclose(g_recv.out);
    std::printf("recv packets=%ld source=%ld cycle-steps-bad=%ld dbc-bad=%ld\n", g_recv.packets,
                g_recv.source, g_recv.cycle_steps_bad, g_recv.dbc_bad);
}

// ---- Transmitting ---------------------------------------------------------------------------

struct Transmit {
    long calls = 0, known = 0, steps_bad = 0, last = -1, wanted = 0;
};
Transmit g_xmit;

raw1394_iso_disposition OnTransmit(raw1394handle_t, unsigned char* data, unsigned* len,
                                   unsigned char* tag, unsigned char* sy, int cycle, unsigned) {
    Transmit& t = g_xmit;
    if (t.calls >= t.wanted) return RAW1394_ISO_DEFER;
    ++t.calls;
    // The library numbers the packets it asks for from the cycles the kernel reported: one
    // cycle further each time.
    if (cycle >= 0) {
        ++t.known;
        if (t.last >= 0 && cycle != (t.last + 1) % 8000) ++t.steps_bad;
        t.last = cycle;
    }
    std::memset(data, 0, 8);
    data[1] = 0x06;
    data[2] = 0xC4;
    data[4] = 0xA0;
    *len = 8;
    *tag = 1;
    *sy = 0;
    return RAW1394_ISO_OK;
}

void Xmit(long packets) {
    g_xmit = Transmit{};
    g_xmit.wanted = packets;
    raw1394handle_t h = raw1394_new_handle_on_port(0);
    if (h == nullptr ||
        raw1394_iso_xmit_init(h, OnTransmit, 1000, 968, 10, RAW1394_ISO_SPEED_200, 250) != 0 ||
        raw1394_iso_xmit_start(h, -1, -1) != 0) {
        std::printf("xmit error: %s\n", std::strerror(errno));
        return;
    }
    const auto t0 = Clock::now();
    pollfd p{raw1394_get_fd(h), POLLIN, 0};
    while (g_xmit.calls < packets && Since(t0) < 30) {
        if (poll(&p, 1, 20) > 0 && raw1394_loop_iterate(h) != 0) break;
    }
    raw1394_iso_shutdown(h);
    raw1394_destroy_handle(h);
    std::printf("xmit calls=%ld known=%ld steps-bad=%ld\n", g_xmit.calls, g_xmit.known,
                g_xmit.steps_bad);
}

// ---- Sending into the deck's input -----------------------------------------------------------

struct Send {
    std::vector<uint8_t> file;
    size_t next = 0;
    long empty = 0;
    std::atomic<bool> recording{false};
    uint8_t dbc = 0;
};
Send g_send;

raw1394_iso_disposition OnSend(raw1394handle_t, unsigned char* data, unsigned* len,
                               unsigned char* tag, unsigned char* sy, int cycle, unsigned) {
    Send& s = g_send;
    const bool packet = s.recording && s.next + 188 <= s.file.size();
    if (s.recording && !packet) return RAW1394_ISO_DEFER;
    std::memset(data, 0, 8);
    data[1] = 0x06;
    data[2] = 0xC4;
    data[3] = s.dbc;
    data[4] = 0xA0;
    data[5] = 0x80;
    *len = 8;
    if (packet) {
        const uint32_t stamp = static_cast<uint32_t>(((cycle < 0 ? 0 : cycle) + 3) % 8000) << 12;
        data[8] = static_cast<unsigned char>(stamp >> 24);
        data[9] = static_cast<unsigned char>(stamp >> 16);
        data[10] = static_cast<unsigned char>(stamp >> 8);
        data[11] = static_cast<unsigned char>(stamp);
        std::memcpy(data + 12, s.file.data() + s.next, 188);
        s.next += 188;
        s.dbc = static_cast<uint8_t>(s.dbc + 8);
        *len = 200;
    } else {
        ++s.empty;
    }
    *tag = 1;
    *sy = 0;
    return RAW1394_ISO_OK;
}

void SendFile(const char* path) {
    g_send.file.clear();
    g_send.next = 0;
    g_send.empty = 0;
    g_send.recording = false;
    FILE* f = std::fopen(path, "rb");
    if (f != nullptr) {
        uint8_t buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            g_send.file.insert(g_send.file.end(), buf, buf + n);
        std::fclose(f);
    }
    Session control;
    if (!Open(control)) return;
    int oplug = -1, iplug = -1, bandwidth = 0;
    const int channel =
        iec61883_cmp_connect(control.handle, raw1394_get_local_id(control.handle), &oplug,
                             static_cast<nodeid_t>(0xFFC0 | control.deck), &iplug, &bandwidth);
    raw1394handle_t h = raw1394_new_handle_on_port(0);
    if (channel < 0 || h == nullptr ||
        raw1394_iso_xmit_init(h, OnSend, 1000, 256, static_cast<unsigned char>(channel),
                              RAW1394_ISO_SPEED_200, 250) != 0 ||
        raw1394_iso_xmit_start(h, -1, -1) != 0) {
        std::printf("send error channel=%d: %s\n", channel, std::strerror(errno));
        return;
    }
    // The deck is told to record from another thread, with its own handle, while this one goes
    // on feeding it: a deck records only while its input has a signal.
    std::thread commands;
    const auto t0 = Clock::now();
    pollfd p{raw1394_get_fd(h), POLLIN, 0};
    while (g_send.next + 188 <= g_send.file.size() && Since(t0) < 60) {
        if (poll(&p, 1, 20) > 0 && raw1394_loop_iterate(h) != 0) break;
        if (!commands.joinable() && g_send.empty >= 50) {
            commands = std::thread([&control] {
                const auto pause = Avc(control.handle, control.deck, {0x00, 0x20, 0xC2, 0x7D});
                const auto record = Avc(control.handle, control.deck, {0x00, 0x20, 0xC2, 0x75});
                std::printf("send record-pause -> %s record -> %s\n", Hex(pause).c_str(),
                            Hex(record).c_str());
                g_send.recording = true;
            });
        }
    }
    if (commands.joinable()) commands.join();
    raw1394_iso_xmit_sync(h);
    raw1394_iso_shutdown(h);
    raw1394_destroy_handle(h);
    const auto stop = Avc(control.handle, control.deck, {0x00, 0x20, 0xC4, 0x60});
    std::printf("send packets=%zu stop -> %s\n", g_send.next / 188, Hex(stop).c_str());
    Close(control);
}

// ---- The kernel interface, raw --------------------------------------------------------------

int Raw(const char* path) {
    const int fd = open(path, O_RDWR);
    fw_cdev_event_bus_reset reset{};
    fw_cdev_get_info info{};
    info.version = 5;
    info.bus_reset = reinterpret_cast<uintptr_t>(&reset);
    if (fd >= 0) ioctl(fd, FW_CDEV_IOC_GET_INFO, &info);
    return fd;
}

void Result(const char* name, int rc) {
    std::printf("refusal %s rc=%d errno=%s\n", name, rc, rc < 0 ? strerrorname_np(errno) : "0");
}

int Context(int fd, unsigned type, unsigned channel) {
    fw_cdev_create_iso_context c{};
    c.type = type;
    c.channel = channel;
    c.header_size = type == FW_CDEV_ISO_CONTEXT_RECEIVE ? 8 : 0;
    c.speed = 1;
    return ioctl(fd, FW_CDEV_IOC_CREATE_ISO_CONTEXT, &c);
}

int Queue(int fd, std::vector<uint32_t>& packets, void* data, uint32_t handle = 0) {
    fw_cdev_queue_iso q{};
    q.packets = reinterpret_cast<uintptr_t>(packets.data());
    q.size = static_cast<uint32_t>(packets.size() * 4);
    q.data = reinterpret_cast<uintptr_t>(data);
    q.handle = handle;
    return ioctl(fd, FW_CDEV_IOC_QUEUE_ISO, &q);
}

int Allocate(int fd, uint64_t offset, uint32_t length, uint64_t region_end) {
    fw_cdev_allocate a{};
    a.offset = offset;
    a.length = length;
    a.region_end = region_end;
    a.closure = 1;
    return ioctl(fd, FW_CDEV_IOC_ALLOCATE, &a);
}

// The handles of the requests to our ranges that the file was told of (read without blocking).
std::vector<uint32_t> InboundRequests(int fd) {
    std::vector<uint32_t> handles;
    pollfd p{fd, POLLIN, 0};
    alignas(8) uint8_t buffer[4096];
    while (poll(&p, 1, 0) > 0 && read(fd, buffer, sizeof buffer) > 0) {
        const auto* e = reinterpret_cast<const fw_cdev_event_request2*>(buffer);
        if (e->type == FW_CDEV_EVENT_REQUEST2) handles.push_back(e->handle);
    }
    return handles;
}

// ioctl_allocate, fw_core_add_address_handler, handle_fcp_region_request, ioctl_send_response.
void AddressRanges() {
    constexpr uint64_t kResponse = CSR_REGISTER_BASE + CSR_FCP_RESPONSE;
    constexpr uint64_t kFree = 0xFFFF00000000ull;  // an address nothing else uses
    const int a = Raw("/dev/fw0");
    const int b = Raw("/dev/fw0");
    Result("allocate-fcp", Allocate(a, kResponse, 0x200, kResponse + 0x200));
    Result("allocate-fcp-again", Allocate(b, kResponse, 0x200, kResponse + 0x200));
    Result("allocate-misaligned", Allocate(a, kFree + 2, 4, kFree + 6));
    Result("allocate-empty", Allocate(a, kFree, 0, kFree + 4));
    Result("allocate-no-region", Allocate(a, kFree, 16, 0));
    Result("allocate-range", Allocate(a, kFree, 16, kFree + 16));
    Result("allocate-range-taken", Allocate(b, kFree, 16, kFree + 16));
    Result("allocate-range-moved", Allocate(b, kFree, 16, kFree + 32));
    // A frame written to our own response register reaches both ranges on it; one written into
    // the middle of the register is no frame.
    fw_cdev_event_bus_reset reset{};
    fw_cdev_get_info info{};
    info.version = 5;
    info.bus_reset = reinterpret_cast<uintptr_t>(&reset);
    ioctl(a, FW_CDEV_IOC_GET_INFO, &info);
    uint32_t quadlet = htonl(0x0CFF3007u);
    fw_cdev_send_request r{};
    r.tcode = TCODE_WRITE_QUADLET_REQUEST;
    r.length = 4;
    r.offset = kResponse;
    r.data = reinterpret_cast<uintptr_t>(&quadlet);
    r.generation = reset.generation;
    ioctl(a, FW_CDEV_IOC_SEND_REQUEST, &r);
    r.offset = kResponse + 4;
    ioctl(a, FW_CDEV_IOC_SEND_REQUEST, &r);
    const std::vector<uint32_t> heard_a = InboundRequests(a);
    const std::vector<uint32_t> heard_b = InboundRequests(b);
    std::printf("fcp-heard a=%zu b=%zu\n", heard_a.size(), heard_b.size());
    fw_cdev_send_response response{};
    response.rcode = RCODE_COMPLETE;
    response.handle = heard_a.empty() ? 0 : heard_a[0];
    Result("send-response", ioctl(a, FW_CDEV_IOC_SEND_RESPONSE, &response));
    Result("send-response-again", ioctl(a, FW_CDEV_IOC_SEND_RESPONSE, &response));
    response.handle = heard_b.empty() ? 0 : heard_b[0];
    Result("send-response-other-file", ioctl(a, FW_CDEV_IOC_SEND_RESPONSE, &response));
    close(a);
    close(b);
}

void Refusals() {
    const size_t buffer = 64 * 1024;
    const int rx = Raw("/dev/fw0");
    Result("create-receive", Context(rx, FW_CDEV_ISO_CONTEXT_RECEIVE, 5));
    auto* map = static_cast<uint8_t*>(mmap(nullptr, buffer, PROT_READ, MAP_SHARED, rx, 0));
    std::vector<uint32_t> three(3, FW_CDEV_ISO_HEADER_LENGTH(8) | 2048);
    Result("queue-receive-three", Queue(rx, three, map));
    std::vector<uint32_t> no_header{2048};
    Result("queue-receive-header-0", Queue(rx, no_header, map));
    std::vector<uint32_t> one{FW_CDEV_ISO_HEADER_LENGTH(8) | 8192};
    Result("queue-past-buffer", Queue(rx, one, map + buffer - 4096));
    Result("queue-handle-1", Queue(rx, one, map, 1));
    fw_cdev_start_iso start{};
    start.cycle = -1;
    start.tags = 0;
    Result("start-receive-tags-0", ioctl(rx, FW_CDEV_IOC_START_ISO, &start));
    start.tags = 16;
    Result("start-receive-tags-16", ioctl(rx, FW_CDEV_IOC_START_ISO, &start));
    start.tags = FW_CDEV_ISO_CONTEXT_MATCH_ALL_TAGS;
    start.sync = 16;
    Result("start-receive-sync-16", ioctl(rx, FW_CDEV_IOC_START_ISO, &start));
    const int rx2 = Raw("/dev/fw0");
    Result("create-receive-same-channel", Context(rx2, FW_CDEV_ISO_CONTEXT_RECEIVE, 5));

    const int tx = Raw("/dev/fw0");
    Result("create-transmit", Context(tx, FW_CDEV_ISO_CONTEXT_TRANSMIT, 6));
    auto* tmap =
        static_cast<uint8_t*>(mmap(nullptr, buffer, PROT_READ | PROT_WRITE, MAP_SHARED, tx, 0));
    std::vector<uint32_t> skip_payload{FW_CDEV_ISO_SKIP | 8};
    Result("queue-skip-with-payload", Queue(tx, skip_payload, tmap));
    std::vector<uint32_t> skip{FW_CDEV_ISO_SKIP};
    Result("queue-skip", Queue(tx, skip, tmap));
    // Empty packets until the descriptor memory is full: the call comes back short.
    std::vector<uint32_t> many(600000, 0);
    fw_cdev_queue_iso q{};
    q.packets = reinterpret_cast<uintptr_t>(many.data());
    q.size = static_cast<uint32_t>(many.size() * 4);
    const int queued = ioctl(tx, FW_CDEV_IOC_QUEUE_ISO, &q);
    std::printf("ring queued=%d left=%u\n", queued, q.size / 4);

    fw_cdev_allocate_iso_resource r{};
    Result("resource-nothing", ioctl(rx, FW_CDEV_IOC_ALLOCATE_ISO_RESOURCE_ONCE, &r));
    r.bandwidth = 5000;
    Result("resource-too-much", ioctl(rx, FW_CDEV_IOC_ALLOCATE_ISO_RESOURCE_ONCE, &r));
    for (int fd : {rx, rx2, tx}) close(fd);
    AddressRanges();
}

// ---- Watching the deck's device file --------------------------------------------------------

std::string DevList() {
    std::string names;
    DIR* dir = opendir("/dev");
    while (dirent* e = dir != nullptr ? readdir(dir) : nullptr) {
        if (std::strncmp(e->d_name, "fw", 2) == 0)
            names += std::string(names.empty() ? "" : " ") + e->d_name;
    }
    if (dir != nullptr) closedir(dir);
    return names;
}

// Watches the deck's device file and /dev until `until` has happened: "bus-reset" (the open
// file got one: the deck was found again and the file kept), "replaced" (the open file gave
// ENODEV and /dev changed twice: the file went, and a new one came). It waits on what the
// emulator does, not on a time, since a loaded machine runs the bus late; the minute is only
// there so that a probe whose awaited event never comes still ends.
void Watch(const std::string& until) {
    const auto t0 = Clock::now();
    const int fd = Raw("/dev/fw1");
    std::string last = DevList();
    std::printf("%.2f devs %s\n", 0.0, last.c_str());
    bool open_fd = fd >= 0;
    bool reset = false, enodev = false;
    int changes = 0;
    auto done = [&] { return until == "bus-reset" ? reset : enodev && changes >= 2; };
    while (!done() && Since(t0) < 60) {
        const std::string now = DevList();
        if (now != last) {
            std::printf("%.2f devs %s\n", Since(t0), now.c_str());
            ++changes;
        }
        last = now;
        pollfd p{fd, POLLIN, 0};
        if (open_fd && poll(&p, 1, 10) > 0) {
            uint8_t event[4096];
            const ssize_t n = read(fd, event, sizeof event);
            if (n < 0) {
                std::printf("%.2f fd %s\n", Since(t0), strerrorname_np(errno));
                enodev = enodev || errno == ENODEV;
                open_fd = false;
            } else if (n >= static_cast<ssize_t>(sizeof(fw_cdev_event_bus_reset))) {
                fw_cdev_event_bus_reset r;
                std::memcpy(&r, event, sizeof r);
                if (r.type == FW_CDEV_EVENT_BUS_RESET) {
                    std::printf("%.2f fd bus-reset node=%x generation=%u\n", Since(t0), r.node_id,
                                r.generation);
                    reset = true;
                }
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (!done()) std::printf("watch gave up waiting for %s\n", until.c_str());
    if (fd >= 0) close(fd);
}

// ---- Registers ------------------------------------------------------------------------------

bool ReadQuadlet(raw1394handle_t h, int node, nodeaddr_t offset, uint32_t& value) {
    quadlet_t q = 0;
    if (raw1394_read(h, static_cast<nodeid_t>(0xFFC0 | node), CSR_REGISTER_BASE + offset, 4, &q) !=
        0) {
        return false;
    }
    value = __builtin_bswap32(q);
    return true;
}

void Opcr() {
    Session s;
    uint32_t v = 0;
    if (!Open(s) || !ReadQuadlet(s.handle, s.deck, 0x904, v)) {
        std::printf("opcr error: %s\n", std::strerror(errno));
    } else {
        std::printf("opcr bcast=%u p2p=%u channel=%u\n", (v >> 30) & 1, (v >> 24) & 0x3F,
                    (v >> 16) & 0x3F);
    }
    Close(s);
}

// cmp_connection_update: a lock that writes what the plug holds tells the deck the connection
// is still ours.
void Restore() {
    Session s;
    uint32_t v = 0;
    if (!Open(s) || !ReadQuadlet(s.handle, s.deck, 0x904, v)) {
        std::printf("restore error\n");
    } else {
        quadlet_t result = 0;
        const int rc = raw1394_lock(s.handle, static_cast<nodeid_t>(0xFFC0 | s.deck),
                                    CSR_REGISTER_BASE + 0x904, RAW1394_EXTCODE_COMPARE_SWAP,
                                    __builtin_bswap32(v), __builtin_bswap32(v), &result);
        std::printf("restore rc=%d\n", rc);
    }
    Close(s);
}

void Irm() {
    Session s;
    uint32_t bw = 0, hi = 0, lo = 0;
    const int local = Open(s) ? raw1394_get_local_id(s.handle) & 0x3F : -1;
    if (local < 0 || !ReadQuadlet(s.handle, local, 0x21C, bw) ||
        !ReadQuadlet(s.handle, local, 0x220, hi) || !ReadQuadlet(s.handle, local, 0x224, lo)) {
        std::printf("irm error\n");
    } else {
        std::printf("irm bandwidth=%u channel63=%s\n", bw, (lo & 1) != 0 ? "free" : "taken");
    }
    Close(s);
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Session s;
    for (int i = 1; i < argc; ++i) {
        const std::string step = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
        if (step == "devs") {
            std::printf("devs %s\n", DevList().c_str());
        } else if (step == "avc") {
            std::vector<uint8_t> frame;
            while (i + 1 < argc && std::strlen(argv[i + 1]) == 2) {
                frame.push_back(static_cast<uint8_t>(std::strtoul(argv[++i], nullptr, 16)));
            }
            if (!Open(s)) return 1;
            std::printf("avc %s -> %s\n", Hex(frame).c_str(),
                        Hex(Avc(s.handle, s.deck, frame)).c_str());
        } else if (step == "connect") {
            if (!Open(s)) return 1;
            int oplug = -1, iplug = -1, bandwidth = 1;
            s.channel =
                iec61883_cmp_connect(s.handle, static_cast<nodeid_t>(0xFFC0 | s.deck), &oplug,
                                     raw1394_get_local_id(s.handle), &iplug, &bandwidth);
            std::printf("connect channel=%d bandwidth=%d\n", s.channel, bandwidth);
        } else if (step == "recv" || step == "play-recv") {
            const char* file = next();
            Recv(s, file, std::atof(next()), step == "play-recv");
        } else if (step == "xmit") {
            Xmit(std::atol(next()));
        } else if (step == "send") {
            SendFile(next());
        } else if (step == "restore") {
            Restore();
        } else if (step == "opcr") {
            Opcr();
        } else if (step == "irm") {
            Irm();
        } else if (step == "channel" || step == "bandwidth") {
            const bool alloc = std::string(next()) == "alloc";
            const unsigned n = static_cast<unsigned>(std::atoi(next()));
            if (!Open(s)) return 1;
            const raw1394_modify_mode mode = alloc ? RAW1394_MODIFY_ALLOC : RAW1394_MODIFY_FREE;
            const int rc = step == "channel" ? raw1394_channel_modify(s.handle, n, mode)
                                             : raw1394_bandwidth_modify(s.handle, n, mode);
            std::printf("%s %s %u rc=%d errno=%s\n", step.c_str(), alloc ? "alloc" : "free", n, rc,
                        rc < 0 ? strerrorname_np(errno) : "0");
        } else if (step == "refusals") {
            Refusals();
        } else if (step == "watch-until") {
            Watch(next());
        } else if (step == "wait-for") {
            const char* file = next();
            const auto t0 = Clock::now();
            while (access(file, F_OK) != 0 && Since(t0) < 60) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        } else if (step == "touch") {
            if (FILE* f = std::fopen(next(), "w")) std::fclose(f);
        } else if (step == "sleep") {
            std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(next())));
        } else {
            std::fprintf(stderr, "fwemu_probe: unknown step %s\n", step.c_str());
            return 2;
        }
    }
    Close(s);
    return 0;
}
