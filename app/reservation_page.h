// The reservation page: the timetable grid sgTimer, the editor group gbTimer with its handlers,
// the list's load and save through the settings file, and the schedule tick that runs it. The
// controls belong to the main window (they keep their designed names there); this class owns the
// list and the behaviour.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

#include "recording/reservation_list.h"
#include "recording/schedule_tick.h"

class QPainter;
class QRect;

namespace tessaline {

class TFormQuillor;

class TReservationPage : public QObject {
    Q_OBJECT
  public:
    // What recording control offers the schedule. Until it is connected, nothing can start.
    struct RecorderHooks {
        std::function<bool(const ReservationStart&)> StartReservation;
        std::function<void()> ClearReservationStart;
        std::function<void()> ResetAfterAction;
    };

    explicit TReservationPage(TFormQuillor& form);
    ~TReservationPage() override;

    // The clock of the editor's checks and of the schedule (the computer's local time unless
    // replaced, as tests do).
    void SetClock(std::function<LocalTime()> now);
    LocalTime Now() const { return now_(); }
    void SetRecorderHooks(RecorderHooks hooks) { hooks_ = std::move(hooks); }

    // ---- The list --------------------------------------------------------------------------
    void LoadReservations();  // then ResetReservationEditor
    bool SaveReservations();  // false (after reporting it) when the file could not be written
    ReservationList& List() { return list_; }
    const ReservationList& List() const { return list_; }
    void RepaintGrid();  // the grid, and the editor showing the selected record

    // ---- Handlers --------------------------------------------------------------------------
    void btnAddClick();
    void btnEditClick();
    void btnEscClick();
    void btnDelClick();
    void btnClearClick();
    void chkTimerClick();
    void chkWeekClick();
    void dpDateEEnter();
    void dpTimeEEnter();
    void sgTimerDrawCell(QPainter& painter, int col, int row, const QRect& rect, bool selected);
    void ResetReservationEditor();
    bool AnyWeekdayChecked() const;

    bool EditingReservation = false;

    // What a cell shows, as painted.
    QString CellText(int col, int row) const;

    // ---- Schedule --------------------------------------------------------------------------
    void ScheduleTick();
    // Whether a stop of a reservation recording now leaves the deck on for the next one.
    bool FollowOnReservationWaiting() const;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    class Recorder;
    void ConnectHandlers();
    // Puts record into the editor; with_device also selects its deck.
    void LoadEditor(const std::string& record, bool with_device);
    void ShowSelectedInEditor();
    void EndPickersAtStartWhenNotAfter();
    int RecordIndexOfSelectedRow() const;  // -1 when the selected row holds no record
    void Error(const QString& text);

    TFormQuillor& form_;
    ReservationList list_;
    std::function<LocalTime()> now_;
    RecorderHooks hooks_;
    std::unique_ptr<Recorder> recorder_;
    std::unique_ptr<tessaline::ScheduleTick> tick_;
};

}  // namespace tessaline
