// The reservation page: the timetable grid sgTimer, the editor group gbTimer with its handlers,
// and the list's load and save through the settings file. The controls belong to the main window
// (they keep their designed names there); this class owns the list and the behaviour, and is the
// window's side of the timetable (device box, saving, repainting), which runs the schedule. It
// runs on the window's clock.
#pragma once

#include <QObject>
#include <QString>
#include <filesystem>
#include <memory>
#include <optional>

#include "app/reservation_file.h"
#include "recording/reservation_list.h"
#include "recording/schedule_tick.h"
#include "recording/timetable.h"

class QPainter;
class QRect;

namespace tessaline {

class TFormQuillor;

class TReservationPage : public QObject, public TimetableHost {
    Q_OBJECT
  public:
    explicit TReservationPage(TFormQuillor& form);
    ~TReservationPage() override;

    // ---- The list --------------------------------------------------------------------------
    void LoadReservations();           // then ResetReservationEditor
    bool SaveReservations() override;  // false (after reporting it) when it could not be written
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
    // Run by the window's schedule tick thread (TThTimer) on the window thread: the timetable's
    // schedule tick with the settings of the moment. While the service runs the timetable, it
    // only follows the file (FollowService).
    void ScheduleTick();
    // The schedule's options from the settings of the moment.
    ScheduleOptions Options() const;
    // Reads the list again when the service changed the file, and takes the timetable over when
    // the service has ended.
    void FollowService();
    // TimetableHost.
    void SelectDevice(int index) override;
    void RepaintReservations() override;
    std::string DeckName(int index) override;
    void ReservationWaits(const std::string& record, const std::string& why) override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void ConnectHandlers();
    // Reads the list from the settings file (as its runner, or as stored while the service runs
    // the timetable); the number of running records found and aborted. A file that cannot be
    // read gives an empty list when missing_is_empty, else leaves the list alone.
    int ReadList(bool missing_is_empty);
    // Writes the list merged by record with the file (ReservationFile::Save); reports a failure.
    ReservationFile::SaveResult Store(
        const std::function<std::string(const ReservationList& stored)>& check = {});
    // The selected record, and the row of a record (by everything but its status) chosen again.
    std::string SelectedRecord() const;
    void SelectRecord(const std::string& record);
    static int FindRecord(const ReservationList& list, const std::string& record);
    // Puts record into the editor; with_device also selects its deck.
    void LoadEditor(const std::string& record, bool with_device);
    void ShowSelectedInEditor();
    void EndPickersAtStartWhenNotAfter();
    int RecordIndexOfSelectedRow() const;  // -1 when the selected row holds no record
    void Error(const QString& text);

    // When and how big the settings file was when the list was last read or written.
    struct FileStamp {
        std::filesystem::file_time_type mtime{};
        uintmax_t size = 0;
        bool operator==(const FileStamp&) const = default;
    };
    static FileStamp FileStampOf(const std::filesystem::path& path);

    TFormQuillor& form_;
    ReservationList list_;
    // The record being edited names this deck; it was not selected because a recording, a
    // conversion or a deck write ran. Picking a deck by hand replaces it.
    std::optional<int> edit_device_;
    std::string editing_;     // the record opened by Edit, as it was then
    bool following_ = false;  // the list follows the file: the editor is left alone
    ReservationFile file_;
    FileStamp stamp_;
    unsigned follow_ticks_ = 0;
    std::string said_waiting_;  // the last reservation said to wait for its deck
};

}  // namespace tessaline
