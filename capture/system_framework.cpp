#include "capture/system_framework.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#ifdef TESSALINE_HAVE_RAW1394
#include "capture/ieee1394/ieee1394_deck.h"
#include "capture/ieee1394/raw1394_bus.h"
#endif

namespace tessaline {
namespace {

constexpr long kMaxChunk = 64L << 20;

const char* Env(const char* name) {
    return std::getenv(name);
}

}  // namespace

std::string DefaultVirtualDeckFile() {
    return TESSALINE_DEFAULT_DECK_FILE;
}

const char* VirtualDeckHelp() {
    return "A virtual deck, to try the program without a deck (listed after any real deck):\n"
           "  TESSALINE_VIRTUAL_DECK   FILE: plays the TS file FILE, for example the bundled\n"
           "                           " TESSALINE_DEFAULT_DECK_FILE
           "\n"
           "                           unset, empty or \"none\": no virtual deck\n"
           "  TESSALINE_VIRTUAL_CHUNK  bytes per buffer (default 61440)\n"
           "  TESSALINE_VIRTUAL_PACE   \"fast\": as fast as it is taken; else the stream's rate\n"
           "  TESSALINE_VIRTUAL_FAIL_AFTER  BYTES: the stream ends with an error after BYTES\n";
}

std::optional<VirtualDeckConfig> VirtualDeckFromEnvironment(std::vector<std::string>& notes) {
    VirtualDeckConfig config;
    const char* deck = Env("TESSALINE_VIRTUAL_DECK");
    if (deck == nullptr || deck[0] == '\0' || std::strcmp(deck, "none") == 0) return std::nullopt;
    config.file = deck;
    std::error_code ec;
    if (std::filesystem::is_directory(config.file, ec)) {
        notes.push_back("virtual deck: " + config.file + " is a folder, not a stream file");
        return std::nullopt;
    }
    if (std::FILE* f = std::fopen(config.file.c_str(), "rb")) {
        std::fclose(f);
    } else {
        notes.push_back("virtual deck: cannot read " + config.file + ": " + std::strerror(errno));
        return std::nullopt;
    }

    if (const char* chunk = Env("TESSALINE_VIRTUAL_CHUNK"); chunk != nullptr && *chunk) {
        char* end = nullptr;
        errno = 0;
        const long value = std::strtol(chunk, &end, 10);
        if (errno != 0 || *end != '\0' || value < 1 || value > kMaxChunk) {
            notes.push_back(std::string("virtual deck: TESSALINE_VIRTUAL_CHUNK=") + chunk +
                            " is not a buffer size from 1 to " + std::to_string(kMaxChunk) +
                            "; using " + std::to_string(config.chunk_bytes));
        } else {
            config.chunk_bytes = static_cast<size_t>(value);
        }
    }
    if (const char* fail = Env("TESSALINE_VIRTUAL_FAIL_AFTER"); fail != nullptr && *fail) {
        char* end = nullptr;
        errno = 0;
        const unsigned long long value = std::strtoull(fail, &end, 10);
        if (errno != 0 || *end != '\0' || value == 0 || fail[0] == '-') {
            notes.push_back(std::string("virtual deck: TESSALINE_VIRTUAL_FAIL_AFTER=") + fail +
                            " is not a number of bytes; the stream does not fail");
        } else {
            config.fail_after = value;
        }
    }
    if (const char* pace = Env("TESSALINE_VIRTUAL_PACE"); pace != nullptr && *pace) {
        if (std::strcmp(pace, "fast") == 0) {
            config.fast = true;
        } else if (std::strcmp(pace, "real") != 0) {
            notes.push_back(std::string("virtual deck: TESSALINE_VIRTUAL_PACE=") + pace +
                            " is neither \"fast\" nor \"real\"; playing at the stream's rate");
        }
    }
    return config;
}

void AddRealDecks(GraphHost& framework, std::vector<std::string>& notes) {
#ifdef TESSALINE_HAVE_RAW1394
    const char* use = Env("TESSALINE_IEEE1394");
    if (use != nullptr && std::strcmp(use, "off") == 0) return;
    std::string reason;
    auto ports = fw::OpenRaw1394Ports(reason);
    for (auto& port : ports) {
        const auto shared = std::make_shared<fw::Ieee1394Port>(std::move(port));
        for (auto& deck : fw::FindIeee1394Decks(shared)) framework.AddDeck(std::move(deck));
    }
    if (!reason.empty()) {
        notes.push_back("IEEE 1394: " + reason +
                        (ports.empty() ? "; no real deck can be listed" : ""));
    }
#else
    (void)framework;
    (void)notes;
#endif
}

std::unique_ptr<MediaFramework> CreateSystemFramework(std::vector<std::string>& notes) {
    // Real decks first; the virtual deck is listed after them.
    auto framework = std::make_unique<GraphHost>();
    AddRealDecks(*framework, notes);
    if (auto config = VirtualDeckFromEnvironment(notes)) {
        framework->AddDeck(std::make_shared<VirtualDeck>(std::move(*config)));
    }
    return framework;
}

}  // namespace tessaline
