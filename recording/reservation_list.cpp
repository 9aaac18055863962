#include "recording/reservation_list.h"

#include <algorithm>
#include <cstdio>
#include <map>

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

std::string RecordIdentity(std::string_view record) {
    return IsWellFormed(record) ? WithStatus(record, RecordStatus::Waiting) : std::string(record);
}

MergeResult MergeReservations(const std::vector<std::string>& base,
                              const std::vector<std::string>& ours,
                              const std::vector<std::string>& theirs, bool runner) {
    // First record of each identity; a list may hold one twice after an edit by hand.
    auto index = [](const std::vector<std::string>& records) {
        std::map<std::string, const std::string*> by_id;
        for (const std::string& r : records) by_id.emplace(RecordIdentity(r), &r);
        return by_id;
    };
    const auto b = index(base), o = index(ours), t = index(theirs);
    auto find = [](const auto& by_id, const std::string& id) -> const std::string* {
        const auto at = by_id.find(id);
        return at == by_id.end() ? nullptr : at->second;
    };
    MergeResult result;
    ReservationList merged;
    for (const auto& [id, mine] : o) {
        const std::string* was = find(b, id);
        const std::string* now = find(t, id);
        if (!now) {
            // Gone from the file: deleted there, unless we added it or it records here.
            if (!was || (runner && IsRunning(*mine))) merged.Add(*mine);
            continue;
        }
        const bool changed = !was || StatusOf(*mine) != StatusOf(*was);
        if (runner) {
            merged.Add(changed || IsRunning(*mine) ? *mine : *now);
        } else if (changed && !IsRunning(*now)) {
            merged.Add(*mine);
        } else {
            if (changed) ++result.kept_running;
            merged.Add(*now);
        }
    }
    for (const auto& [id, now] : t) {
        if (o.count(id)) continue;
        // Not ours: added there, or deleted here (a running record never is).
        if (!find(b, id)) {
            merged.Add(*now);
        } else if (!runner && IsRunning(*now)) {
            ++result.kept_running;
            merged.Add(*now);
        }
    }
    result.records = merged.Records();
    return result;
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
