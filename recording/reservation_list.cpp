#include "recording/reservation_list.h"

#include <algorithm>
#include <cstdio>

namespace tessaline {

namespace {

char Fold(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

int Compare(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(Fold(a[i]));
        const auto y = static_cast<unsigned char>(Fold(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace

std::string ReserveKey(int number) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "Reserve%02d", number);
    return buf;
}

bool ReservationLess(std::string_view a, std::string_view b) {
    return Compare(a, b) < 0;
}

bool ReservationEqual(std::string_view a, std::string_view b) {
    return Compare(a, b) == 0;
}

int ReservationList::Add(std::string record) {
    const auto at = std::lower_bound(
        records_.begin(), records_.end(), record,
        [](const std::string& x, const std::string& y) { return ReservationLess(x, y); });
    if (at != records_.end() && ReservationEqual(*at, record)) {
        return static_cast<int>(at - records_.begin());
    }
    return static_cast<int>(records_.insert(at, std::move(record)) - records_.begin());
}

int ReservationList::Replace(int i, std::string record) {
    records_.at(static_cast<size_t>(i)) = record;
    Sort();
    return Find(record);
}

void ReservationList::Delete(int i) {
    records_.erase(records_.begin() + i);
}

int ReservationList::Find(std::string_view record) const {
    for (size_t i = 0; i < records_.size(); ++i) {
        if (records_[i] == record) return static_cast<int>(i);
    }
    return -1;
}

int ReservationList::SetRunningStatus(RecordStatus status) {
    int changed = 0;
    for (std::string& record : records_) {
        if (!IsRunning(record)) continue;
        record = WithStatus(record, status);
        ++changed;
    }
    if (changed) Sort();
    return changed;
}

bool ReservationList::AnyRunning() const {
    return std::any_of(records_.begin(), records_.end(),
                       [](const std::string& r) { return IsRunning(r); });
}

void ReservationList::Sort() {
    std::stable_sort(
        records_.begin(), records_.end(),
        [](const std::string& x, const std::string& y) { return ReservationLess(x, y); });
}

LoadReport LoadReservations(ReservationList& list, const ReservationStore& store, int max_reserve) {
    LoadReport report;
    list.Clear();
    for (int i = 1; i <= max_reserve; ++i) {
        std::optional<std::string> value = store.get(ReserveKey(i));
        if (!value || value->empty()) continue;
        if (IsRunning(*value)) {
            *value = WithStatus(*value, RecordStatus::Aborted);
            ++report.stale_running;
        }
        list.Add(std::move(*value));
    }
    return report;
}

void LoadReservationsAsStored(ReservationList& list, const ReservationStore& store,
                              int max_reserve) {
    list.Clear();
    for (int i = 1; i <= max_reserve; ++i) {
        std::optional<std::string> value = store.get(ReserveKey(i));
        if (!value || value->empty()) continue;
        list.Add(std::move(*value));
    }
}

void SaveReservations(const ReservationList& list, const ReservationStore& store, int max_reserve) {
    for (int i = 1; i <= max_reserve; ++i) {
        store.set(ReserveKey(i), i <= list.Count() ? list[i - 1] : std::string());
    }
}

bool WaitingReservationCovers(const ReservationList& list, int max_reserve, Instant at) {
    const DateTime local = ToLocal(at);
    const int n = std::min(list.Count(), max_reserve);
    for (int i = 0; i < n; ++i) {
        const auto r = ParseReservation(list[i]);
        if (!r || r->status != RecordStatus::Waiting) continue;
        const auto start = ResolveReservationDateTime(r->start_field, local);
        const auto end = ResolveReservationDateTime(r->end_field, local);
        if (start && end && ToInstant(*start) <= at && at <= ToInstant(*end)) return true;
    }
    return false;
}

}  // namespace tessaline
