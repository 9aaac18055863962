// TTaskTrayIcon: one icon in the desktop's notification area while Visible is true, its mouse
// actions turned into events. The main window owns one (ttTask) to hide itself there when
// minimised. The notification area itself sits behind TrayShell: QSystemTrayIcon in the program,
// a recording fake in the tests.
#pragma once

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>

class QWidget;

namespace tessaline {

enum class TrayAction { Add, Modify, Delete };

// What every call to the notification area carries.
struct TrayRecord {
    QString tip;  // the hint, cut to kMaxTipChars
    QIcon icon;
};
inline constexpr int kMaxTipChars = 63;

// The icon's mouse notifications.
enum class TrayMouse {
    Move,
    LeftDown,
    LeftUp,
    LeftDouble,
    RightDown,
    RightUp,
    RightDouble,
    MiddleDown,
    MiddleUp,
};

// Shift state of the mouse events.
enum TrayShiftFlag : unsigned {
    ssLeft = 1,
    ssRight = 2,
    ssMiddle = 4,
    ssDouble = 8,
};
using TrayShift = unsigned;

class TrayShell {
  public:
    virtual ~TrayShell() = default;
    virtual void Notify(TrayAction action, const TrayRecord& record) = 0;
    // A short message from the icon (a balloon); may show nothing where the desktop cannot.
    virtual void ShowMessage(const QString& title, const QString& text, const QIcon& icon) = 0;
    virtual QPoint CursorPos() const = 0;
    // Set by the icon: where the shell delivers the mouse notifications.
    std::function<void(TrayMouse)> deliver;
};

// The desktop's notification area through QSystemTrayIcon. Qt reports clicks, not presses and
// releases: a click becomes the press and release pair, a double click the double-click message
// and a release. Mouse moves are not reported.
class QtTrayShell : public QObject, public TrayShell {
  public:
    QtTrayShell();
    void Notify(TrayAction action, const TrayRecord& record) override;
    void ShowMessage(const QString& title, const QString& text, const QIcon& icon) override;
    QPoint CursorPos() const override;

  private:
    QSystemTrayIcon icon_;
};

class TTaskTrayIcon : public QObject {
  public:
    using NotifyEvent = std::function<void(TTaskTrayIcon* sender)>;
    using MouseEvent = std::function<void(TTaskTrayIcon* sender, Qt::MouseButton button,
                                          TrayShift shift, int x, int y)>;
    using MouseMoveEvent =
        std::function<void(TTaskTrayIcon* sender, TrayShift shift, int x, int y)>;

    // Visible starts true; nothing reaches the notification area before Loaded(). Without a
    // shell, the desktop's (QtTrayShell).
    explicit TTaskTrayIcon(QWidget* owner, std::unique_ptr<TrayShell> shell = nullptr);
    ~TTaskTrayIcon() override;

    // The properties are set: the icon enters the notification area if Visible.
    void Loaded();

    const QString& Hint() const { return hint_; }
    void SetHint(const QString& hint);
    const QIcon& Icon() const { return icon_; }
    void SetIcon(const QIcon& icon);
    QMenu* PopUpMenuL() const { return menu_left_; }
    void SetPopUpMenuL(QMenu* menu) { menu_left_ = menu; }  // cleared when the menu goes
    QMenu* PopUpMenuR() const { return menu_right_; }
    void SetPopUpMenuR(QMenu* menu) { menu_right_ = menu; }
    bool Visible() const { return visible_; }
    void SetVisible(bool visible);

    NotifyEvent OnClick;
    NotifyEvent OnDblClick;
    MouseMoveEvent OnMouseMove;
    MouseEvent OnMouseDown;
    MouseEvent OnMouseUp;
    // The program's error handler: an exception thrown by an event handler ends up here and never
    // leaves TrayWndProc. Standard error when not set.
    std::function<void(const QString& message)> OnError;

    // One notification from the icon.
    void TrayWndProc(TrayMouse message);
    // The desktop session ends: the icon leaves the notification area.
    void SessionEnding();
    // A balloon on the icon (only while it is in the notification area).
    void ShowMessage(const QString& title, const QString& text);

    TrayShell& Shell() { return *shell_; }

  private:
    void UpdateTrayIcon(TrayAction action);
    void BringOwnerForward();
    void Dispatch(TrayMouse message, QPoint at);

    QWidget* owner_;
    std::unique_ptr<TrayShell> shell_;
    QString hint_;
    QIcon icon_;
    QPointer<QMenu> menu_left_;
    QPointer<QMenu> menu_right_;
    bool visible_ = true;
    bool loading_ = true;
};

// The hint as the notification area holds it: at most kMaxTipChars characters, a character made
// of two UTF-16 units never cut in half.
QString CutTip(const QString& hint);

}  // namespace tessaline
