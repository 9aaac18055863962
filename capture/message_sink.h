// Where the capture layer's failure reports go: the window shows a message box with the error
// icon, the command-line tool prints to stderr, tests collect them.
#pragma once

#include <string>
#include <vector>

namespace tessaline {

class MessageSink {
  public:
    virtual ~MessageSink() = default;
    // caption is empty for the capture controller's own reports.
    virtual void ShowError(const std::string& caption, const std::string& text) = 0;
};

// Keeps every report; for tests and for callers that show them later.
class CollectingMessageSink final : public MessageSink {
  public:
    struct Message {
        std::string caption;
        std::string text;
    };
    void ShowError(const std::string& caption, const std::string& text) override {
        messages.push_back({caption, text});
    }
    std::vector<Message> messages;
};

}  // namespace tessaline
