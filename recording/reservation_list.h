// The timetable: reservation records kept in ascending text order without regard to case, so
// one-time records stand in the order of their start, before every weekly record. Stored in the
// settings file under "Reserve01", "Reserve02", ... (at least two digits), one record a key.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "recording/reservation_record.h"

namespace tessaline {

inline constexpr int kDefaultMaxReserve = 30;

// "Reserve" + number with at least two digits: Reserve01 ... Reserve99, Reserve100.
std::string ReserveKey(int number);

// Less-than of the list's order: byte order after folding ASCII letters to lower case.
bool ReservationLess(std::string_view a, std::string_view b);
bool ReservationEqual(std::string_view a, std::string_view b);

class ReservationList {
  public:
    int Count() const { return static_cast<int>(records_.size()); }
    bool Empty() const { return records_.empty(); }
    const std::string& operator[](int i) const { return records_.at(static_cast<size_t>(i)); }
    const std::vector<std::string>& Records() const { return records_; }

    // Adds in sorted place; a record equal (without regard to case) to one present adds nothing.
    // Returns the index of the record, new or present.
    int Add(std::string record);
    // Replaces record i and sorts again (an equal record may then stand twice, as an edit can
    // make one). Returns the new index of the replacement.
    int Replace(int i, std::string record);
    void Delete(int i);
    void Clear() { records_.clear(); }
    // Index of the first record equal to record byte for byte, or -1.
    int Find(std::string_view record) const;

    // Every running record gets status; returns how many changed.
    int SetRunningStatus(RecordStatus status);
    bool AnyRunning() const;

  private:
    void Sort();
    std::vector<std::string> records_;
};

// What the list needs of the settings file: the value of a key, and setting one.
struct ReservationStore {
    std::function<std::optional<std::string>(const std::string& key)> get;
    std::function<void(const std::string& key, const std::string& value)> set;
};

struct LoadReport {
    // Running records found in the file: left by a run that ended while it recorded. They are
    // loaded as aborted, and the list must be saved so that the file says so too.
    int stale_running = 0;
};

// Empties the list and adds the non-empty values of Reserve01 .. Reserve<max_reserve>. Keys
// beyond max_reserve are not read. For the runner of the timetable: running records are loaded as
// aborted (see LoadReport).
LoadReport LoadReservations(ReservationList& list, const ReservationStore& store, int max_reserve);
// The same, every record exactly as stored: for those who show the list while another program may
// be running one of its records.
void LoadReservationsAsStored(ReservationList& list, const ReservationStore& store,
                              int max_reserve);

// Writes record i to Reserve<i> for i = 1 .. max_reserve, an empty value where there is none.
// Records beyond max_reserve (none, as the window keeps the list within it) are not written, and
// neither are keys beyond max_reserve.
void SaveReservations(const ReservationList& list, const ReservationStore& store, int max_reserve);

// A record without its status: what tells records apart when their statuses differ.
std::string RecordIdentity(std::string_view record);

// What a program stores when it changed the list it last read or wrote (base) into ours while
// another program may have written the file since (theirs). Records are told apart by
// RecordIdentity. What ours changed since base wins (a record added, edited or deleted, a status
// set); what it did not change is taken from theirs (records the other added or deleted, statuses
// it set). The runner of the timetable (runner) knows what it records: its running record stays
// running. Any other program never rewrites a running status it did not set, nor deletes or
// edits away a running record: those are kept as theirs, and counted in kept_running.
struct MergeResult {
    std::vector<std::string> records;  // sorted as the list keeps them
    int kept_running = 0;
};
MergeResult MergeReservations(const std::vector<std::string>& base,
                              const std::vector<std::string>& ours,
                              const std::vector<std::string>& theirs, bool runner);

// The follow-on test of a reservation's stop: a waiting record among the first max_reserve whose
// window, each field resolved on its own for the day of t (no next-day rule, SKIP not looked
// at), contains t. The stop asks it for the moment 5 seconds after itself; the deck then stays
// on for the reservation about to begin.
bool WaitingReservationCovers(const ReservationList& list, int max_reserve, Instant t);

}  // namespace tessaline
