// SPDX-License-Identifier: GPL-3.0-or-later
// fwemu: an emulated FireWire bus behind the kernel's character-device interface, loaded with
// LD_PRELOAD under the unmodified libraw1394 (and so librom1394, libavc1394, libiec61883).
// interpose.cpp answers the libc calls the libraries make on /dev/fw*; bus.cpp is the kernel side
// (nodes and their device files, bus resets), cdev.cpp the requests on a device file, iso.cpp the
// iso contexts; deck.cpp is the D-VHS deck on the bus, deck_stream.cpp what it sends and records,
// tape.cpp its cassette and deck_save.cpp the deck kept between processes; config.cpp reads the
// environment and writes the trace. probe.cpp is a client for the emulator's own tests.
#pragma once

#include <linux/firewire-cdev.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace fwemu {

using Bytes = std::vector<uint8_t>;

// Calls into the C library behind our own definitions.
int RealOpen(const char* path, int flags, int mode);
int RealClose(int fd);
ssize_t RealRead(int fd, void* buf, size_t n);
ssize_t RealWrite(int fd, const void* buf, size_t n);

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

uint32_t Be32(const uint8_t* p);
void PutBe32(uint8_t* p, uint32_t v);

// One queued iso packet of a context: its control word, its own header (transmit), where its
// payload sits in the mapped buffer, and the share of descriptor memory it holds.
struct IsoSlot {
    uint32_t control = 0;
    Bytes header;
    size_t offset = 0;
    double ring_pages = 0;
};

struct IsoContext {
    int type = FW_CDEV_ISO_CONTEXT_RECEIVE;
    unsigned header_size = 4;
    unsigned channel = 0;
    unsigned speed = 0;
    uint64_t closure = 0;
    bool started = false;
    std::deque<IsoSlot> queue;
    size_t most_queued = 0;  // the longest the queue has been
    double ring_pages = 0;   // descriptor pages the queued packets take
    Bytes pending_headers;   // of packets completed since the last interrupt
    uint64_t dropped = 0;
};

enum class FdKind { Node, Inotify };

// One open file description: a node's /dev/fwN, or an inotify instance watching /dev.
struct Client {
    FdKind kind = FdKind::Node;
    int fd = -1;               // what the program holds (one end of a socket pair, for poll/epoll)
    int peer = -1;             // the other end: a byte is waiting there while events are queued
    int node = -1;             // Bus::nodes index
    int device = -1;           // device number of the node at open time (fwN)
    uint64_t incarnation = 0;  // which of the node's device files it opened
    bool signalled = false;
    bool gone = false;  // the device file was removed: ENODEV once the events are read
    unsigned abi = 0;
    uint64_t bus_reset_closure = 0;
    std::deque<Bytes> events;
    std::map<uint32_t, std::pair<uint64_t, uint64_t>> ranges;  // handle -> [start, end)
    std::map<uint32_t, uint64_t> range_closures;
    std::set<uint32_t> inbound;  // requests to its ranges not yet answered (SEND_RESPONSE)
    uint32_t next_handle = 1;
    std::unique_ptr<IsoContext> iso;
    uint8_t* map = nullptr;
    size_t map_length = 0;  // rounded up to pages, as the kernel's buffer is
};

// Everything under one lock: the program's threads and the bus thread take turns.
std::recursive_mutex& Lock();

// ---- bus.cpp
bool IsEmulatedDevicePath(const char* path, int& device);
int OpenNode(int device);                        // fd or -1 with errno
int OpenInotify();                               // fd
Client* FindClient(int fd);                      // under Lock()
void CloseClient(int fd);                        // under Lock()
ssize_t ReadEvent(int fd, void* buf, size_t n);  // blocks like the kernel's read
int Ioctl(Client& c, unsigned long request, void* arg);
std::vector<std::string> DeviceNames();  // for opendir("/dev"), in readdir order
// The text of /sys/bus/firewire/devices/fwN/ATTR for an emulated node; false if there is none.
bool SysfsAttribute(const char* path, std::string& text);
void* MapIso(Client& c, size_t length);
void ForgetMapping(void* addr);  // under Lock()

// ---- What the environment asks for (config.cpp, read once).
struct CassetteItem {
    std::string file;    // a TS file, or empty for a blank
    double seconds = 0;  // a blank's length
};

struct Settings {
    struct Window {
        double from = 0, to = 0;
    };
    std::string play;               // FWEMU_PLAY: TS file the deck sends without a cassette
    std::string tape;               // FWEMU_TAPE: where the deck appends what it records
    std::string log;                // FWEMU_LOG: a line per bus action, for tests
    bool fast = false;              // FWEMU_PACE=fast: cycles run as fast as the iso buffers allow
    bool no_local_access = false;   // FWEMU_NO_LOCAL_ACCESS=1: the controller's node gives EACCES
    bool deck_eacces = false;       // FWEMU_DECK_EACCES=1: the deck's node gives EACCES
    bool dev_oldest_first = false;  // FWEMU_DEV_ORDER=oldest
    int busy = 0;              // FWEMU_BUSY=N: the deck acks busy to its first N requests (-1 all)
    int replug_eacces_ms = 0;  // FWEMU_REPLUG_EACCES_MS: a new device node is root's this long
    int power_ms = 300;        // FWEMU_POWER_MS: power-on time (INTERIM first)
    bool power_off = false;    // FWEMU_POWER=off: a new deck starts switched off
    double rate = 0;           // FWEMU_RATE: bits/s of TS to play instead of the PCR rate
    bool loop = false;         // FWEMU_LOOP=1: play the file again and again (benchmarks)
    bool jumbo = false;        // FWEMU_JUMBO=1: every packet claims 4232 bytes
    bool broadcast = false;    // FWEMU_BROADCAST=1: the deck keeps a broadcast connection
    int signal_mode = 0x1A;    // FWEMU_SIGNAL_MODE; -1: not implemented
    // The cassette.
    bool has_cassette = false;  // FWEMU_CASSETTE given
    std::string cassette;       // as given, to tell a saved deck's cassette
    std::vector<CassetteItem> items;
    double tape_seconds = -1;        // FWEMU_TAPE_SECONDS; -1: the content plus 60
    std::string medium = "present";  // FWEMU_MEDIUM: present, none, protected
    std::vector<Window> damage;      // FWEMU_DAMAGE drop@T+D
    std::string state;               // FWEMU_STATE
    double wind_speed = 60;          // FWEMU_WIND_SPEED
    // Bus events.
    std::vector<double> resets;    // reset@S
    std::vector<Window> silences;  // silence@A-B
    std::vector<Window> unplugs;   // unplug@A-B
};
const Settings& Config();

// ---- deck.cpp, deck_stream.cpp (all under Lock())
std::vector<uint32_t> DeckRom();
std::vector<uint32_t> LocalRom();
// A read of `length` bytes at byte `at` of a configuration ROM: its quadlets, or an error rcode.
uint32_t ReadRom(const std::vector<uint32_t>& rom, uint64_t at, size_t length, Bytes& reply);
void DeckInit();
// A request from the controller to the deck's registers; returns the rcode, reply filled for
// reads and locks.
uint32_t DeckRequest(uint32_t tcode, uint64_t offset, const uint8_t* data, size_t length,
                     Bytes& reply);
// What the deck sends in this cycle, if anything; called every cycle, on the bus or not, since
// the tape moves on either way. `delivered`: the packet reaches the bus (the deck is plugged in
// and not silent).
bool DeckTransmit(uint64_t cycle, bool delivered, unsigned& channel, Bytes& packet);
// An iso packet on the bus, as the deck's input sees it.
void DeckReceive(unsigned channel, const uint8_t* data, size_t length);
// The tape moves by one cycle.
void DeckCycle();
void DeckTick(double now_s);
void DeckBusReset(double now_s);
void DeckSetPresent(bool present);
// Sending tape content (or the FWEMU_PLAY file) that a receiver could take now.
bool DeckPlaying();
// Sends a packet every cycle (on and connected), on `channel`.
bool DeckSending(unsigned& channel);
// Writes what the deck measured of a stream it received (PCR pacing) to the trace.
void DeckReport();
// The resource manager lost everything with a bus reset: a deck that broadcasts takes its channel
// and bandwidth again.
void DeckClaimResources(uint32_t& channels_lo, uint32_t& bandwidth);

// ---- bus.cpp services for the deck and the iso contexts
void DeliverFcpResponse(const Bytes& frame);
// A write to our node's address space: to every client with a range that holds it.
void DeliverWrite(uint64_t offset, const Bytes& frame, uint32_t source);
int DeckPhy();
double NowSeconds();
uint64_t BusCycle();
// A receive context runs on the channel.
bool ListenerOn(unsigned channel);

}  // namespace fwemu
