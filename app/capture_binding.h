// The capture layer's window-free pieces bound to Qt: the device box logic sees the window's combo
// box, and the controller's reports reach the window's message boxes.
#pragma once

#include <QComboBox>
#include <functional>
#include <string>

#include "capture/device_box.h"
#include "capture/message_sink.h"

namespace tessaline {

class ComboDeviceBox final : public DeviceBox {
  public:
    explicit ComboDeviceBox(QComboBox* box) : box_(box) {}
    void Clear() override { box_->clear(); }
    void Add(const std::string& name) override { box_->addItem(QString::fromStdString(name)); }
    int Count() const override { return box_->count(); }
    int ItemIndex() const override { return box_->currentIndex(); }
    void SetItemIndex(int index) override {
        box_->setCurrentIndex(index >= 0 && index < box_->count() ? index : -1);
    }

  private:
    QComboBox* box_;
};

class WindowMessageSink final : public MessageSink {
  public:
    using Show = std::function<void(const QString& caption, const QString& text)>;
    explicit WindowMessageSink(Show show) : show_(std::move(show)) {}
    void ShowError(const std::string& caption, const std::string& text) override {
        show_(QString::fromStdString(caption), QString::fromStdString(text));
    }

  private:
    Show show_;
};

}  // namespace tessaline
