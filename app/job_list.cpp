#include "app/job_list.h"

namespace tessaline {

const RemuxJob& JobList::Row(int r) const {
    static const RemuxJob kNone;
    if (r < 1 || r >= RowCount()) return kNone;
    return rows_[static_cast<size_t>(r - 1)];
}

void JobList::SetRow(int r, RemuxJob job) {
    if (r < 1) return;
    if (r >= RowCount()) rows_.resize(static_cast<size_t>(r));
    rows_[static_cast<size_t>(r - 1)] = std::move(job);
}

int JobList::Add(RemuxJob job) {
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].input.empty()) {
            rows_[i] = std::move(job);
            return static_cast<int>(i) + 1;
        }
    }
    rows_.push_back(std::move(job));
    return RowCount() - 1;
}

void JobList::Delete(int r) {
    if (r < 1 || r >= RowCount()) return;
    rows_[static_cast<size_t>(r - 1)] = {};
    if (r == RowCount() - 1) return;
    for (size_t i = static_cast<size_t>(r - 1); i + 1 < rows_.size(); ++i) rows_[i] = rows_[i + 1];
    if (RowCount() > 2) rows_.pop_back();
}

void JobList::Clear() {
    rows_.assign(1, RemuxJob{});
}

bool JobList::IsEmpty() const {
    return rows_.size() == 1 && rows_[0].input.empty() && rows_[0].output.empty();
}

}  // namespace tessaline
