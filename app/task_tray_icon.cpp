#include "app/task_tray_icon.h"

#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QWidget>
#include <cstdio>
#include <exception>

namespace tessaline {

QString CutTip(const QString& hint) {
    if (hint.size() <= kMaxTipChars) return hint;
    qsizetype keep = kMaxTipChars;
    if (hint.at(keep - 1).isHighSurrogate()) --keep;
    return hint.left(keep);
}

// ---- QtTrayShell ---------------------------------------------------------------------------

QtTrayShell::QtTrayShell() {
    connect(&icon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (!deliver) return;
                switch (reason) {
                    case QSystemTrayIcon::Trigger:
                        deliver(TrayMouse::LeftDown);
                        deliver(TrayMouse::LeftUp);
                        break;
                    case QSystemTrayIcon::Context:
                        deliver(TrayMouse::RightDown);
                        deliver(TrayMouse::RightUp);
                        break;
                    case QSystemTrayIcon::DoubleClick:
                        deliver(TrayMouse::LeftDouble);
                        deliver(TrayMouse::LeftUp);
                        break;
                    case QSystemTrayIcon::MiddleClick:
                        deliver(TrayMouse::MiddleDown);
                        deliver(TrayMouse::MiddleUp);
                        break;
                    case QSystemTrayIcon::Unknown:
                        break;
                }
            });
}

void QtTrayShell::Notify(TrayAction action, const TrayRecord& record) {
    switch (action) {
        case TrayAction::Add:
            icon_.setIcon(record.icon);
            icon_.setToolTip(record.tip);
            icon_.show();
            break;
        case TrayAction::Modify:
            icon_.setIcon(record.icon);
            icon_.setToolTip(record.tip);
            break;
        case TrayAction::Delete:
            icon_.hide();
            break;
    }
}

void QtTrayShell::ShowMessage(const QString& title, const QString& text, const QIcon& icon) {
    if (icon_.isVisible() && QSystemTrayIcon::supportsMessages())
        icon_.showMessage(title, text, icon);
}

QPoint QtTrayShell::CursorPos() const {
    return QCursor::pos();
}

// ---- TTaskTrayIcon -------------------------------------------------------------------------

TTaskTrayIcon::TTaskTrayIcon(QWidget* owner, std::unique_ptr<TrayShell> shell)
    : QObject(owner), owner_(owner), shell_(std::move(shell)) {
    if (!shell_) shell_ = std::make_unique<QtTrayShell>();
    shell_->deliver = [this](TrayMouse message) { TrayWndProc(message); };
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::commitDataRequest, this, [this] { SessionEnding(); });
    }
}

TTaskTrayIcon::~TTaskTrayIcon() {
    if (visible_) UpdateTrayIcon(TrayAction::Delete);
    shell_->deliver = nullptr;
}

void TTaskTrayIcon::Loaded() {
    loading_ = false;
    if (visible_) UpdateTrayIcon(TrayAction::Add);
}

void TTaskTrayIcon::SetHint(const QString& hint) {
    if (hint == hint_) return;
    hint_ = hint;
    if (visible_) UpdateTrayIcon(TrayAction::Modify);
}

void TTaskTrayIcon::SetIcon(const QIcon& icon) {
    if (icon.cacheKey() == icon_.cacheKey()) return;  // the picture already held
    icon_ = icon;
    if (visible_) UpdateTrayIcon(TrayAction::Modify);
}

void TTaskTrayIcon::SetVisible(bool visible) {
    if (visible == visible_) return;
    visible_ = visible;
    UpdateTrayIcon(visible ? TrayAction::Add : TrayAction::Delete);
}

void TTaskTrayIcon::SessionEnding() {
    UpdateTrayIcon(TrayAction::Delete);
}

void TTaskTrayIcon::ShowMessage(const QString& title, const QString& text) {
    if (visible_ && !loading_) shell_->ShowMessage(title, text, icon_);
}

void TTaskTrayIcon::UpdateTrayIcon(TrayAction action) {
    if (loading_) return;
    if (action == TrayAction::Modify && !visible_) return;
    shell_->Notify(action, TrayRecord{CutTip(hint_), icon_});
}

void TTaskTrayIcon::BringOwnerForward() {
    if (!owner_) return;
    QWidget* window = owner_->window();
    window->raise();
    window->activateWindow();
    QCoreApplication::processEvents();
}

void TTaskTrayIcon::TrayWndProc(TrayMouse message) {
    const QPoint at = shell_->CursorPos();
    try {
        Dispatch(message, at);
    } catch (const std::exception& e) {
        const QString text = QString::fromLocal8Bit(e.what());
        if (OnError) {
            OnError(text);
        } else {
            std::fprintf(stderr, "tessaline: %s\n", e.what());
        }
    }
}

void TTaskTrayIcon::Dispatch(TrayMouse message, QPoint at) {
    const int x = at.x();
    const int y = at.y();
    auto down = [&](Qt::MouseButton button, TrayShift shift) {
        if (OnMouseDown) OnMouseDown(this, button, shift, x, y);
    };
    auto up = [&](Qt::MouseButton button, TrayShift shift) {
        if (OnMouseUp) OnMouseUp(this, button, shift, x, y);
    };
    auto click = [&] {
        if (OnClick) OnClick(this);
    };
    auto double_click = [&] {
        if (OnDblClick) OnDblClick(this);
    };
    auto pop_up = [&](QMenu* menu) {
        if (menu) menu->popup(at);
    };
    switch (message) {
        case TrayMouse::Move:
            if (OnMouseMove) OnMouseMove(this, 0, x, y);
            break;
        case TrayMouse::LeftDown:
            BringOwnerForward();
            pop_up(menu_left_);
            down(Qt::LeftButton, ssLeft);
            break;
        case TrayMouse::LeftUp:
            up(Qt::LeftButton, ssLeft);
            click();
            break;
        case TrayMouse::LeftDouble:
            BringOwnerForward();
            double_click();
            down(Qt::LeftButton, ssDouble);
            break;
        case TrayMouse::RightDown:
            BringOwnerForward();
            pop_up(menu_right_);
            down(Qt::RightButton, ssRight);
            break;
        case TrayMouse::RightUp:
            up(Qt::RightButton, ssRight);
            click();
            break;
        case TrayMouse::RightDouble:
            BringOwnerForward();
            double_click();
            down(Qt::RightButton, ssDouble);
            break;
        case TrayMouse::MiddleDown:
            down(Qt::MiddleButton, ssMiddle);
            break;
        case TrayMouse::MiddleUp:
            up(Qt::MiddleButton, ssMiddle);
            click();
            break;
    }
}

}  // namespace tessaline
