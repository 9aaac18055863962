#include "capture/write_list.h"

#include <algorithm>

namespace tessaline {

bool IsBlank(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) <= ' '; });
}

const std::string& WriteList::Row(int r) const {
    static const std::string kNone;
    if (r < 1 || r >= RowCount()) return kNone;
    return rows_[static_cast<size_t>(r - 1)];
}

void WriteList::SetRow(int r, std::string path) {
    if (r < 1) return;
    if (r >= RowCount()) rows_.resize(static_cast<size_t>(r));
    rows_[static_cast<size_t>(r - 1)] = std::move(path);
}

void WriteList::SetCurrent(int r) {
    current_ = std::clamp(r, 1, RowCount() - 1);
}

int WriteList::Add(std::string path) {
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (IsBlank(rows_[i])) {
            rows_[i] = std::move(path);
            return static_cast<int>(i) + 1;
        }
    }
    rows_.push_back(std::move(path));
    return RowCount() - 1;
}

int WriteList::CountListed() const {
    return static_cast<int>(std::count_if(rows_.begin(), rows_.end(),
                                          [](const std::string& r) { return !IsBlank(r); }));
}

const std::string& WriteList::DeleteCurrent() {
    const size_t r = static_cast<size_t>(current_ - 1);
    rows_[r].clear();
    for (size_t i = r; i + 1 < rows_.size(); ++i) rows_[i] = rows_[i + 1];
    if (RowCount() > 2) {
        rows_.pop_back();
    } else {
        rows_.back().clear();
    }
    SetCurrent(current_);
    return Row(current_);
}

void WriteList::Clear() {
    rows_.assign(1, std::string());
    current_ = 1;
}

}  // namespace tessaline
