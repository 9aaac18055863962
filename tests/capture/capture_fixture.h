// A capture controller over a virtual framework, with its reports collected.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capture/ds_capture.h"
#include "capture/graph/graph_host.h"
#include "capture/message_sink.h"
#include "capture/virtual/virtual_deck.h"
#include "stream/capture_data_path.h"
#include "stream/stream_context.h"

namespace tessaline::test {

inline VirtualDeckConfig Deck(std::string friendly, std::string vendor, std::string model) {
    VirtualDeckConfig c;
    c.friendly_name = std::move(friendly);
    c.vendor = std::move(vendor);
    c.model = std::move(model);
    return c;
}

inline VirtualDeckConfig Webcam() {
    VirtualDeckConfig c = Deck("USB Camera", "Acme", "Cam");
    c.device_type = ED_DEVTYPE_CAMERA;
    return c;
}

// Keeps every report, and tells the test of each as it is shown.
class TestMessageSink final : public MessageSink {
  public:
    void ShowError(const std::string& caption, const std::string& text) override {
        messages.push_back({caption, text});
        if (on_message) on_message();
    }
    std::vector<CollectingMessageSink::Message> messages;
    std::function<void()> on_message;
};

// The host takes any deck driver; these tests mostly add virtual decks.
inline std::shared_ptr<VirtualDeck> AddVirtualDeck(GraphHost& host, VirtualDeckConfig config) {
    return host.AddDeck(std::make_shared<VirtualDeck>(std::move(config)));
}

class CaptureTest : public ::testing::Test {
  protected:
    CaptureTest() : path(ctx), capture(fw, sink, ctx, path) {}

    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        for (const auto& m : sink.messages) out.push_back(m.text);
        return out;
    }
    std::vector<std::string> DeviceNames() {
        std::vector<std::string> out;
        for (std::string n = capture.NextDeviceName(); !n.empty(); n = capture.NextDeviceName()) {
            out.push_back(n);
        }
        return out;
    }
    // The graph's event once there is one (the stream ended or failed); 0 when none came within a
    // minute.
    int32_t WaitForEvent() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        int32_t event = 0;
        while ((event = capture.PollCompletion()) == 0 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return event;
    }
    // Lists the devices and opens the one at index.
    void Open(int index = 0) {
        ASSERT_TRUE(capture.EnumerateDevices());
        ASSERT_TRUE(capture.SelectDevice(index));
        ASSERT_TRUE(capture.HasDeviceFilter());
    }

    GraphHost fw;
    TestMessageSink sink;
    StreamContext ctx;
    CaptureDataPath path;
    CDSCapture capture;
};

}  // namespace tessaline::test
