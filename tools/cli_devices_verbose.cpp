// devices --verbose: what each listed deck is and what it is doing now.
#include <cstdio>

#include "capture/graph/graph_host.h"
#include "tools/cli_capture.h"

namespace tessaline::cli {
namespace {

const char* PowerName(int32_t power) {
    switch (power) {
        case ED_POWER_ON:
            return "on";
        case ED_POWER_OFF:
            return "off";
        case ED_POWER_STANDBY:
            return "standby";
        default:
            return "unknown";
    }
}

const char* ModeName(int32_t mode) {
    switch (mode) {
        case ED_MODE_STOP:
            return "stop";
        case ED_MODE_RECORD:
            return "record";
        case ED_MODE_RECORD_FREEZE:
            return "record-pause";
        default:
            return "unknown";
    }
}

}  // namespace

void PrintDeckDetails(CaptureSetup& setup) {
    auto* framework = dynamic_cast<GraphHost*>(setup.framework.get());
    if (framework == nullptr) return;
    // The device list holds the tape decks of the framework's list, in order, up to its limit.
    int index = 0;
    for (const auto& deck : framework->Decks()) {
        const VirtualDeckConfig& c = deck->config();
        if (c.device_type != ED_DEVTYPE_VCR || !c.offers_ext_device) continue;
        if (index >= setup.box.Count()) break;
        const std::string detail = c.driver ? c.driver->Describe()
                                            : "virtual deck playing " + c.file + ", power " +
                                                  PowerName(deck->power()) + ", transport " +
                                                  ModeName(deck->transport_mode());
        std::printf("   %d: %s\n", index, detail.c_str());
        ++index;
    }
}

}  // namespace tessaline::cli
