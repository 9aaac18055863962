// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/reservation_file.h"

#include "app/capture_settings.h"

namespace tessaline {

namespace {

ReservationStore Reader(const IniFile& ini) {
    ReservationStore store;
    store.get = [&ini](const std::string& key) { return ini.Get(kSettingsSection, key); };
    return store;
}

std::vector<std::string> Stored(const IniFile& ini, int max_reserve) {
    ReservationList list;
    LoadReservationsAsStored(list, Reader(ini), max_reserve);
    return list.Records();
}

void Replace(ReservationList& list, const std::vector<std::string>& records) {
    list.Clear();
    for (const std::string& r : records) list.Add(r);
}

}  // namespace

int ReservationFile::Load(ReservationList& list, const IniFile& ini, int max_reserve,
                          bool as_runner) {
    base_ = Stored(ini, max_reserve);
    kept_running_ = 0;
    if (!as_runner) {
        Replace(list, base_);
        return 0;
    }
    return LoadReservations(list, Reader(ini), max_reserve).stale_running;
}

void ReservationFile::Follow(ReservationList& list, const IniFile& ini, int max_reserve,
                             bool runner) {
    std::vector<std::string> theirs = Stored(ini, max_reserve);
    const MergeResult merged = MergeReservations(base_, list.Records(), theirs, runner);
    Replace(list, merged.records);
    kept_running_ = merged.kept_running;
    base_ = std::move(theirs);
}

ReservationFile::SaveResult ReservationFile::Save(
    ReservationList& list, int max_reserve, bool runner, std::string& error,
    const std::function<std::string(const ReservationList& stored)>& check) {
    MergeResult merged;
    bool refused = false;
    const bool ok = UpdateIniFile(
        path_,
        [&](IniFile& ini, std::string& reason) {
            ReservationList stored;
            LoadReservationsAsStored(stored, Reader(ini), max_reserve);
            if (check) reason = check(stored);
            if (!reason.empty()) {
                refused = true;
                return false;
            }
            merged = MergeReservations(base_, list.Records(), stored.Records(), runner);
            ReservationList out;
            for (const std::string& r : merged.records) out.Add(r);
            ReservationStore store;
            store.set = [&ini](const std::string& key, const std::string& value) {
                ini.Set(kSettingsSection, key, value);
            };
            SaveReservations(out, store, max_reserve);
            return true;
        },
        &error);
    if (refused) return SaveResult::Refused;
    if (!ok) return SaveResult::Failed;
    Replace(list, merged.records);
    kept_running_ = merged.kept_running;
    base_ = merged.records;
    return SaveResult::Saved;
}

}  // namespace tessaline
