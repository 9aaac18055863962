// A notification area that records what it is asked, for the tray tests.
#pragma once

#include <QIcon>
#include <QString>
#include <memory>
#include <vector>

#include "app/task_tray_icon.h"

namespace tessaline {

class FakeTrayShell : public TrayShell {
  public:
    struct Call {
        TrayAction action;
        QString tip;
        qint64 icon;  // cacheKey of the icon passed
    };
    struct Balloon {
        QString title;
        QString text;
    };

    void Notify(TrayAction action, const TrayRecord& record) override {
        calls.push_back({action, record.tip, record.icon.cacheKey()});
        history->push_back(calls.back());
        if (action == TrayAction::Add) shown = true;
        if (action == TrayAction::Delete) shown = false;
    }
    void ShowMessage(const QString& title, const QString& text, const QIcon&) override {
        balloons.push_back({title, text});
    }
    QPoint CursorPos() const override { return cursor; }

    // A click with the given button as the desktop reports it: press, then release.
    void Click(TrayMouse down, TrayMouse up) {
        deliver(down);
        deliver(up);
    }

    std::vector<Call> calls;
    // The same calls, kept alive after the shell went with its icon.
    std::shared_ptr<std::vector<Call>> history = std::make_shared<std::vector<Call>>();
    std::vector<Balloon> balloons;
    bool shown = false;
    QPoint cursor{640, 1010};
};

}  // namespace tessaline
